// The VP program's command line as hbrun hands it over: each argument quoted
// the way the Microsoft C runtime splits a command line (and the VP runtime
// splits it back), so that argv arrives exactly as given.
#pragma once

#include <string>
#include <vector>

namespace hb::tools {

// The program name, argv[0]: taken up to the first blank, or between two
// quotes, without backslash rules. Quoted when it holds a blank.
std::string quoteProgramName(const std::string& name);

// Any other argument: left as it is when it holds no blank, tab, newline,
// vertical tab or quote and is not empty; otherwise in quotes, with the
// backslashes before a quote (and before the closing quote) doubled and each
// quote escaped.
std::string quoteArgument(const std::string& argument);

// The program name and the arguments, quoted, in order.
std::vector<std::string> quoteCommandLine(const std::string& program,
                                          const std::vector<std::string>& arguments);

} // namespace hb::tools
