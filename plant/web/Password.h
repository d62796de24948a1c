#pragma once
// Password hashes (Argon2id, in its standard encoded form) and the random
// tokens of sessions and forms.
#include <string>

namespace tav::plant {

// The encoded Argon2id hash of `password` with a fresh salt; empty on failure.
std::string HashPassword(const std::string &password);
// True when `password` matches `encoded`. Takes the hash's own cost.
bool VerifyPassword(const std::string &password, const std::string &encoded);
// `bytes` bytes from the kernel's generator as hex; empty if it fails.
std::string RandomToken(int bytes);

}  // namespace tav::plant
