#pragma once

// The command line of the tree's programs: "--name VALUE" options,
// "--name" switches and positional words, each taken by a function the
// program gives.
//
//   apps::CommandLine line;
//   line.option("--listen", [&](const std::string& value) { listen = value; });
//   line.flag("--help", [&] { help = true; });
//   line.parse(argc, argv);  // throws apps::UsageError
//
// A word is read as an option only when it is one of the names given, so a
// positional word may start with "-". A taker throws UsageError to refuse
// its value.

#include <functional>
#include <map>
#include <stdexcept>
#include <string>

namespace apps {

// What the program says before its usage text: "--listen needs a value".
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CommandLine {
public:
    using TakeValue = std::function<void(const std::string& value)>;
    using TakeFlag = std::function<void()>;
    // False: the word is one too many.
    using TakeWord = std::function<bool(const std::string& word)>;

    void option(const std::string& name, TakeValue take) { m_options[name] = std::move(take); }

    void flag(const std::string& name, TakeFlag take) { m_flags[name] = std::move(take); }

    // Without it, every word that is not an option is refused.
    void positional(TakeWord take) { m_words = std::move(take); }

    // The words after the program's name, in order.
    void parse(int argc, char** argv) const {
        for (int i = 1; i < argc; ++i) {
            const std::string word = argv[i];
            if (const auto option = m_options.find(word); option != m_options.end()) {
                if (i + 1 >= argc) {
                    throw UsageError(word + " needs a value");
                }
                option->second(argv[++i]);
            } else if (const auto flag = m_flags.find(word); flag != m_flags.end()) {
                flag->second();
            } else if (!m_words) {
                throw UsageError("unknown argument " + word);
            } else if (!m_words(word)) {
                throw UsageError("unexpected argument " + word);
            }
        }
    }

private:
    std::map<std::string, TakeValue> m_options;
    std::map<std::string, TakeFlag> m_flags;
    TakeWord m_words;
};

}  // namespace apps
