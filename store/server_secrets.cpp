#include "store/server_secrets.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <mutex>

#include "store/password.h"

namespace hbr {
namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
// Bound into every tag: a sealed value means nothing outside this column.
constexpr std::string_view kAssociatedData = "hbr servers.password";

std::string Hex(const unsigned char* bytes, size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 15];
    }
    return s;
}

bool FromHex(std::string_view text, std::string& out) {
    auto value = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    if (text.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = value(text[i]), lo = value(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    if (text.empty() || text.size() % 4) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    size_t pad = 0;
    while (pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

// The key of one database, read (or made) once when first needed.
class KeyFile {
  public:
    explicit KeyFile(std::string databasePath) : databasePath_(std::move(databasePath)) {}

    // The key; with `create`, a missing file is made. Empty when there is none to be had.
    std::string Key(bool create) {
        std::lock_guard guard(lock_);
        if (!key_.empty()) return key_;
        const std::string path = KeyFilePath(databasePath_);
        if (Read(path) || !create) return key_;
        Make(path);
        return key_;
    }

  private:
    bool Read(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return false;
        char buf[2 * kKeyBytes + 2];
        const ssize_t n = read(fd, buf, sizeof buf);
        close(fd);
        std::string_view text(buf, n > 0 ? static_cast<size_t>(n) : 0);
        if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        std::string key;
        if (text.size() != 2 * kKeyBytes || !FromHex(text, key)) {
            // A damaged file is not replaced: that would make the sealed rows unreadable for
            // good. Sealing fails and opening finds nothing until it is mended.
            damaged_ = true;
            return true;
        }
        key_ = std::move(key);
        return true;
    }

    void Make(const std::string& path) {
        if (damaged_) return;
        unsigned char key[kKeyBytes];
        if (RAND_bytes(key, sizeof key) != 1) return;
        // Written under a temporary name and linked into place, so that a second process never
        // reads half a key and never overwrites a key made at the same moment.
        const std::string tmp = path + ".tmp" + std::to_string(getpid());
        const int fd =
            open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return;
        const std::string text = Hex(key, sizeof key) + "\n";
        bool ok = fchmod(fd, 0600) == 0 &&
                  write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                  fsync(fd) == 0;
        // The instance reads the key as the account it runs as, which owns its database; a
        // verb run as root (resetpwd-instance) must not leave a key only root can read.
        struct stat db;
        if (ok && geteuid() == 0 && stat(databasePath_.c_str(), &db) == 0)
            ok = fchown(fd, db.st_uid, db.st_gid) == 0;
        close(fd);
        if (ok && link(tmp.c_str(), path.c_str()) != 0) ok = false;
        unlink(tmp.c_str());
        if (ok)
            key_.assign(reinterpret_cast<const char*>(key), sizeof key);
        else
            Read(path);  // another process may have made it at the same moment
    }

    std::mutex lock_;
    const std::string databasePath_;
    std::string key_;
    bool damaged_ = false;
};

KeyFile& KeyOf(sqlite3_context* context) {
    return *static_cast<KeyFile*>(sqlite3_user_data(context));
}

std::string_view TextArg(sqlite3_value* value) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return text ? std::string_view(text, static_cast<size_t>(sqlite3_value_bytes(value)))
                : std::string_view();
}

void ResultText(sqlite3_context* context, const std::string& text) {
    sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void SealFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(context);
    const std::string key = KeyOf(context).Key(true);
    if (key.empty())
        return sqlite3_result_error(context, "the key file for host passwords cannot be written",
                                    -1);
    const std::string sealed = SealWithKey(key, TextArg(argv[0]));
    if (sealed.empty())
        return sqlite3_result_error(context, "a host password cannot be sealed", -1);
    ResultText(context, sealed);
}

void UnsealFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(context);
    const std::string_view text = TextArg(argv[0]);
    if (!text.starts_with(kSealedPrefix)) return ResultText(context, std::string(text));
    const std::optional<std::string> plain = OpenWithKey(KeyOf(context).Key(false), text);
    if (!plain) return sqlite3_result_null(context);
    ResultText(context, *plain);
}

void LostFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    const std::string_view text = TextArg(argv[0]);
    const bool lost = sqlite3_value_type(argv[0]) != SQLITE_NULL &&
                      text.starts_with(kSealedPrefix) &&
                      !OpenWithKey(KeyOf(context).Key(false), text);
    sqlite3_result_int(context, lost ? 1 : 0);
}

}  // namespace

std::string KeyFilePath(const std::string& databasePath) {
    return databasePath + ".key";
}

std::string SealWithKey(std::string_view key, std::string_view plain) {
    if (key.size() != kKeyBytes) return {};
    std::string blob(kNonceBytes + plain.size() + kTagBytes, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(blob.data());
    if (RAND_bytes(bytes, kNonceBytes) != 1) return {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    int n = 0;
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, k, bytes) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &n,
                          reinterpret_cast<const unsigned char*>(kAssociatedData.data()),
                          static_cast<int>(kAssociatedData.size())) != 1 ||
        EVP_EncryptUpdate(ctx.get(), bytes + kNonceBytes, &n,
                          reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), bytes + kNonceBytes + n, &n) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes,
                            bytes + kNonceBytes + plain.size()) != 1)
        return {};
    return std::string(kSealedPrefix) + Base64Encode(blob);
}

std::optional<std::string> OpenWithKey(std::string_view key, std::string_view sealed) {
    if (key.size() != kKeyBytes || !sealed.starts_with(kSealedPrefix)) return std::nullopt;
    const auto blob = Base64Decode(sealed.substr(kSealedPrefix.size()));
    if (!blob || blob->size() < kNonceBytes + kTagBytes) return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(blob->data());
    const size_t length = blob->size() - kNonceBytes - kTagBytes;
    std::string plain(length, '\0');
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    std::array<unsigned char, kTagBytes> tag;
    std::copy(bytes + kNonceBytes + length, bytes + blob->size(), tag.begin());
    int n = 0;
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, k, bytes) != 1 ||
        EVP_DecryptUpdate(ctx.get(), nullptr, &n,
                          reinterpret_cast<const unsigned char*>(kAssociatedData.data()),
                          static_cast<int>(kAssociatedData.size())) != 1 ||
        EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &n,
                          bytes + kNonceBytes, static_cast<int>(length)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()) + n, &n) != 1)
        return std::nullopt;
    return plain;
}

void InstallSecretFunctions(SQLite::Database& db, const std::string& databasePath) {
    // The connection owns the key holder: the last function to go deletes it.
    auto* holder = new KeyFile(databasePath);
    db.createFunction("hbr_unseal", 1, false, holder, &UnsealFunction);
    db.createFunction("hbr_password_lost", 1, false, holder, &LostFunction);
    db.createFunction("hbr_seal", 1, false, holder, &SealFunction, nullptr, nullptr,
                      [](void* p) { delete static_cast<KeyFile*>(p); });
}

void SealPlainServerPasswords(SQLite::Database& db) {
    db.tryExec(
        "UPDATE servers SET password=hbr_seal(password) WHERE password IS NOT NULL AND "
        "substr(password,1,11)<>'$aes256gcm$'");
}

}  // namespace hbr
