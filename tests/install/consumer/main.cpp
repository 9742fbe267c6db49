#include <apps/client/corvane.h>

#include <iostream>

int main() {
    std::cout << "protocol " << apps::protocol_version().text << "\n";
    std::cout << "result 14 " << apps::Result::invalid_aligner_options << "\n";
    return apps::library_is_compatible() ? 0 : 1;
}
