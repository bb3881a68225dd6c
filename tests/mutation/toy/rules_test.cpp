// Checks the adult rule at its edge; the senior rule goes unchecked.
bool isAdult(int age);

int main() {
    return isAdult(17) || !isAdult(18) ? 1 : 0;
}
