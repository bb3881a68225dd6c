// Quoting of the VP program's name and arguments into one command line that
// splits back into the same argv.
#include "command_line.h"

namespace hb::tools {

std::string quoteProgramName(const std::string& name) {
    if (!name.empty() && name.find_first_of(" \t") == std::string::npos)
        return name;
    return "\"" + name + "\"";
}

std::string quoteArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped;
        // elsewhere they stand for themselves.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\'); // before the closing quote
    quoted += '"';
    return quoted;
}

std::vector<std::string> quoteCommandLine(const std::string& program,
                                          const std::vector<std::string>& arguments) {
    std::vector<std::string> line{quoteProgramName(program)};
    for (const std::string& argument : arguments)
        line.push_back(quoteArgument(argument));
    return line;
}

} // namespace hb::tools
