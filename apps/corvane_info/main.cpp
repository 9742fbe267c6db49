// Prints the library's versions and its public result codes.

#include <apps/client/corvane.h>

#include <iostream>

namespace {

template <class Enum>
void print_codes(const char* title, int count) {
    std::cout << title << ":\n";
    for (int value = 0; value < count; ++value) {
        std::cout << "  " << value << "  " << apps::to_string(static_cast<Enum>(value)) << "\n";
    }
}

}  // namespace

int main() {
    std::cout << "corvane client library\n"
              << "  software version:      " << apps::software_version().text << "\n"
              << "  api version:           " << apps::api_version().text << "\n"
              << "  data wrappers version: " << apps::data_wrappers_version().text << "\n"
              << "  protocol version:      " << apps::protocol_version().text << "\n"
              << "  compatible:            " << (apps::library_is_compatible() ? "yes" : "no") << "\n";
    print_codes<apps::Result>("Result", 15);
    print_codes<apps::ConnectionStatus>("ConnectionStatus", 8);
    print_codes<apps::PassReadResult>("PassReadResult", 4);
    print_codes<apps::Read::Priority>("Read::Priority", 3);
    return 0;
}
