#pragma once
// A WebSocket connection made from one HTTP request. The upgrade answers on the request's own
// connection; a receive party with a thread of its own hands every complete message to the
// handlers, and the serving thread sends, each send finished before the call returns.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace hbr {

class HttpRequest;

class CWebSocket {
  public:
    explicit CWebSocket(HttpRequest& request);
    virtual ~CWebSocket();
    CWebSocket(const CWebSocket&) = delete;
    CWebSocket& operator=(const CWebSocket&) = delete;

    // Performs the upgrade and starts the receive party, then returns. Throws
    // std::runtime_error when the request is no WebSocket handshake ("WebSocketCreateServerHandle
    // failed") or the 101 reply cannot be written ("CompleteWS HttpSendHttpResponse failed").
    virtual void Serve();

    // Called on the receive thread, one message at a time; the next message is read only
    // after the handler returns.
    virtual void OnTextMessage(std::string_view /*text*/) {}
    virtual void OnBinaryMessage(const uint8_t* /*bytes*/, size_t /*length*/) {}

    // For the serving thread only. Nothing is sent once the channel has ended; failures are
    // not reported, they end the channel.
    void SendBinary(const void* bytes, size_t length);
    void SendText(std::string_view text);

    bool Closed() const { return closed_.load(std::memory_order_acquire) != 0; }

    // Messages larger than this are read and dropped whole.
    static constexpr size_t kMaxMessageBytes = 64 * 1024;

  protected:
    // Called on the receive thread once the connection has ended by the peer or a failure,
    // so that an owner waiting on something else can notice at once. Not called for the
    // teardown the owner starts.
    virtual void OnClosed() {}

    // Ends the connection and waits until the receive party has left. A derived class calls
    // it first in its destructor, before it frees anything its handlers use. Idempotent.
    void Shutdown();

    HttpRequest& request;

  private:
    struct Channel;
    void Send(bool binary, const void* bytes, size_t length);
    void ReadNext();

    std::unique_ptr<Channel> channel_;
    // 1 until the upgrade is done, 0 while open, 1 again for good once it has ended.
    std::atomic<int> closed_{1};
    std::atomic<bool> tearingDown_{false};
};

}  // namespace hbr
