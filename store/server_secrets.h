#pragma once
// Host passwords at rest. The `password` column of `servers` holds
// "$aes256gcm$<Base64 of nonce, ciphertext and tag>", sealed with AES-256-GCM under the
// instance's key file, kept beside the database as "<database>.key" (mode 0600, owned by the
// database file's owner, made when the first password is sealed). A copy of the database alone
// gives no password away; a lost key leaves the sealed rows unreadable, never wrong.
//
// The work is done by SQL functions installed on the connection, so every statement that
// reads or writes the column says so in its own text:
//   hbr_seal(text)          the sealed form (an error when no key can be had)
//   hbr_unseal(text)        the password: a sealed value opened, an older plain value as it
//                           stands, NULL when the sealed value cannot be opened
//   hbr_password_lost(text) 1 when a sealed value cannot be opened, else 0
#include <SQLiteCpp/Database.h>

#include <optional>
#include <string>
#include <string_view>

namespace hbr {

inline constexpr std::string_view kSealedPrefix = "$aes256gcm$";

// The key file of the database at `databasePath`.
std::string KeyFilePath(const std::string& databasePath);

// Installs the three functions on `db`, with the key file of `databasePath`.
void InstallSecretFunctions(SQLite::Database& db, const std::string& databasePath);

// Seals the plain passwords an older database holds. Failures leave them as they are (they are
// still read), to be tried again at the next open.
void SealPlainServerPasswords(SQLite::Database& db);

// The sealing itself, for tests: with a 32-byte key.
std::string SealWithKey(std::string_view key, std::string_view plain);
std::optional<std::string> OpenWithKey(std::string_view key, std::string_view sealed);

}  // namespace hbr
