// Toy product code for the mutation script's own test: one rule its test
// checks, one it leaves unchecked (the planted fault), and a declaration some
// of whose mutants do not build.
#include <array>

const std::array<int, 1> kAdultAge = {{18}};

bool isAdult(int age) {
    return age >= kAdultAge.front();
}

bool isSenior(int age) {
    return age >= 65;
}
