#pragma once
// Chinese texts for the system's and the broker library's error codes. The
// C library and libmosquitto describe failures in English; the station's
// operator reads Chinese in the connection log and in its messages. Codes
// without a text of their own read "错误码 N" rather than English.
// Pure functions, any thread.
#include <string>

namespace tav {

// An errno value (ECONNREFUSED, ETIMEDOUT, ...).
std::string SystemErrorText(int err);
// A libmosquitto result code (MOSQ_ERR_*); MOSQ_ERR_ERRNO is described by
// `err`, the errno that came with it.
std::string BrokerErrorText(int rc, int err);
// A CONNACK refusal code of MQTT 3.1.1 (1..5) or 5 (128 and up).
std::string BrokerRefusalText(int code);

}  // namespace tav
