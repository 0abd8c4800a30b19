// Output of child processes as UTF-8 text: bytes that are not UTF-8 become U+FFFD, and a
// character split between two reads is carried over to the next one instead of being mangled.
#pragma once

#include <string>

namespace zrk::plugin::shell {

class Utf8Stream {
 public:
  // The valid text of what arrived so far; an incomplete character at the end is held back.
  std::string feed(const std::string& bytes);
  // What is still held back (an unfinished character), as U+FFFD; empty when nothing is.
  std::string finish();

 private:
  std::string pending_;
};

// All the bytes as UTF-8 text, invalid sequences as U+FFFD.
std::string toValidUtf8(const std::string& bytes);

}  // namespace zrk::plugin::shell
