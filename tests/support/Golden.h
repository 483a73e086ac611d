// Comparing a text report with a file kept beside the test's sources.
//
//   ExpectMatchesGolden(KVO_GOLDEN_DIR "/report.txt", Report());
//
// adds a test failure naming the first line that differs (and the counts
// when only the length does).  Run the test with REBASE=1 in the
// environment to write the actual texts as the new golden files instead;
// then review them with `git diff` before committing.  A golden file that
// does not exist fails the test, unless rebasing.
#pragma once

#include <string>

namespace kvo::support {

// True when `actual` matches (or was written, when rebasing).
bool ExpectMatchesGolden(const std::string& path, const std::string& actual);

}  // namespace kvo::support
