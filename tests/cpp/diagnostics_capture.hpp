#pragma once
// The diagnostics that internal failures write to standard error, captured
// where a test provokes them: a passing run stays quiet, and each test
// checks that its failures reported themselves in the fixed form.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/failure.hpp"

namespace quorvel::testing {

/// True for "quorvel: internal failure in thread 'NAME' at FILE:LINE:COLUMN:" with NAME
/// "main" or "<unnamed>" and LINE, COLUMN decimal numbers.
inline bool is_diagnostic_head(std::string_view line) {
  const auto is_number = [](std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  for (const std::string_view thread : {"main", "<unnamed>"}) {
    const std::string prefix =
        "quorvel: internal failure in thread '" + std::string(thread) + "' at ";
    if (!line.starts_with(prefix) || !line.ends_with(':')) continue;
    const std::string_view location = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    const std::size_t column = location.rfind(':');
    if (column == std::string_view::npos || column == 0) return false;
    const std::size_t row = location.rfind(':', column - 1);
    return row != std::string_view::npos && row > 0 &&
           is_number(location.substr(row + 1, column - row - 1)) &&
           is_number(location.substr(column + 1));
  }
  return false;
}

/// The messages of the diagnostics in text, in order: each is its head line followed
/// by the message's lines. Text that holds anything else fails the test.
inline std::vector<std::string> diagnostic_messages(const std::string& text) {
  std::vector<std::string> messages;
  std::istringstream lines(text);
  bool in_message = false;
  for (std::string line; std::getline(lines, line);) {
    if (is_diagnostic_head(line)) {
      messages.emplace_back();
      in_message = false;
      continue;
    }
    if (messages.empty()) {
      ADD_FAILURE() << "not a diagnostic: " << line;
      continue;
    }
    messages.back() += (in_message ? "\n" : "") + line;
    in_message = true;
  }
  return messages;
}

/// Standard error captured from construction to take(); a guard, so that an
/// exception leaving the test still ends the capture.
class CapturedStderr {
 public:
  CapturedStderr() { ::testing::internal::CaptureStderr(); }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;
  ~CapturedStderr() {
    if (!taken_) (void)::testing::internal::GetCapturedStderr();
  }
  /// The diagnostic messages written so far; ends the capture.
  std::vector<std::string> take() {
    taken_ = true;
    return diagnostic_messages(::testing::internal::GetCapturedStderr());
  }

 private:
  bool taken_ = false;
};

/// The message of the internal failure raised by f, or "<no failure>"; checks
/// that the failure wrote exactly its one diagnostic, and nothing else.
template <class F>
std::string failure_message(F&& f) {
  CapturedStderr captured;
  std::string message = "<no failure>";
  try {
    f();
  } catch (const InternalFailure& failure) {
    message = failure.message();
  }
  const std::vector<std::string> diagnostics = captured.take();
  if (message == "<no failure>") {
    EXPECT_TRUE(diagnostics.empty());
  } else {
    EXPECT_EQ(diagnostics, std::vector<std::string>{message});
  }
  return message;
}

}  // namespace quorvel::testing
