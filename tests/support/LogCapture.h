/* Starts the toolkit's logging for one test with every line of "kelu_category" captured in
 * memory, so that a test can read back the step lines its calls wrote. */
#ifndef KELU_LOG_CAPTURE_H
#define KELU_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace kelu::test {

class LogCapture {
 public:
  LogCapture();   // starts logging (fails the test if it does not start)
  ~LogCapture();  // finishes logging
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  // Every line so far (the message text only), and forgets them.
  std::vector<std::string> Take();
  // The lines so far joined, without forgetting them.
  std::string Text() const;
  // True when some line so far contains the text.
  bool Contains(const std::string &text) const;
};

}  // namespace kelu::test

#endif
