#pragma once
// Command lines of the programs without Qt: CLI11 parses, and every program answers the
// same way: --help and --version on stdout with exit 0, a usage error as one line on
// stderr naming what was wrong, with exit 2.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>

namespace zevo {

// Sets up --help and --version on app; version is the program's version number.
inline void StandardFlags(CLI::App& app, const std::string& program, const std::string& version,
                          const std::string& versionFlags = "--version") {
    app.set_version_flag(versionFlags, program + " " + version, "Show the version and exit");
    app.set_help_flag("-h,--help", "Show this help and exit");
}

// A number of 0 or more, said plainly when it is not.
inline CLI::Validator NotNegative() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            double value = 0.0;
            if (CLI::detail::lexical_cast(text, value) && value >= 0.0) return {};
            return "wants a number of 0 or more, not '" + text + "'";
        },
        "");
}

// Parses argv; nothing when the program should go on, else its exit code.
inline std::optional<int> ParseCommandLine(CLI::App& app, const std::string& program, int argc,
                                           char** argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s (see --help)\n", program.c_str(), e.what());
        return 2;
    }
}

}  // namespace zevo
