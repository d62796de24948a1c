#include "plant/web/Password.h"

#include <argon2.h>
#include <sys/random.h>

#include <cerrno>
#include <vector>

namespace tav::plant {

namespace {

// About 19 MiB and two passes: tens of milliseconds here, costly to guess
// in bulk; the login limiter keeps the memory in check.
constexpr uint32_t kTimeCost = 2;
constexpr uint32_t kMemoryKiB = 19 * 1024;
constexpr uint32_t kLanes = 1;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

bool Random(unsigned char *out, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::getrandom(out + got, n - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

}  // namespace

std::string HashPassword(const std::string &password)
{
    unsigned char salt[kSaltBytes];
    if (!Random(salt, sizeof salt))
        return "";
    const size_t length = argon2_encodedlen(kTimeCost, kMemoryKiB, kLanes, kSaltBytes, kHashBytes, Argon2_id);
    std::vector<char> encoded(length + 1, '\0');
    if (argon2id_hash_encoded(kTimeCost, kMemoryKiB, kLanes, password.data(), password.size(), salt, sizeof salt,
                              kHashBytes, encoded.data(), encoded.size()) != ARGON2_OK)
        return "";
    return encoded.data();
}

bool VerifyPassword(const std::string &password, const std::string &encoded)
{
    return argon2id_verify(encoded.c_str(), password.data(), password.size()) == ARGON2_OK;
}

std::string RandomToken(int bytes)
{
    std::vector<unsigned char> raw(static_cast<size_t>(bytes));
    if (!Random(raw.data(), raw.size()))
        return "";
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : raw) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

}  // namespace tav::plant
