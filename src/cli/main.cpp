#include <cstdio>

int main() { std::puts("salvora-cli"); return 0; }
