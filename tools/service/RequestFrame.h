// Where one HTTP request ends in the bytes received so far, so that the
// service hands a connection to an HTTP thread only once its whole request
// is in (a client that trickles bytes holds no thread). Refuses what no
// route takes: a head over `head_max` (431), a body over `body_max` (413), a
// body without a Content-Length (411), a Content-Length that is not one
// number (400).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rd::service {

struct RequestFrame {
  enum class Kind { kIncomplete, kComplete, kRefused };
  Kind kind = Kind::kIncomplete;
  std::size_t length = 0;         // kComplete: the bytes of head and body
  bool head_complete = false;     // the empty line after the headers is in
  bool expects_continue = false;  // "Expect: 100-continue"
  int status = 0;                 // kRefused: the status and the error text
  std::string error;
};

RequestFrame FrameRequest(std::string_view received, std::size_t head_max, std::size_t body_max);

// A complete answer with a JSON error body that closes the connection.
std::string ErrorAnswer(int status, const std::string& error);

}  // namespace rd::service
