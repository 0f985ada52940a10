// Nothing: what the toolchain alone puts in a C++ program (exported_symbols.sh).
int main() { return 0; }
