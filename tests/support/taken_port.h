#pragma once
// A loopback port that another program holds, for the conflict a listener must report.
#include <cstdint>

namespace hbr {

class TakenLoopbackPort {
  public:
    // Listens on a free port of 127.0.0.1 until destroyed.
    TakenLoopbackPort();
    ~TakenLoopbackPort();
    TakenLoopbackPort(const TakenLoopbackPort&) = delete;
    TakenLoopbackPort& operator=(const TakenLoopbackPort&) = delete;

    bool Listening() const { return port_ != 0; }
    uint16_t Port() const { return port_; }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace hbr
