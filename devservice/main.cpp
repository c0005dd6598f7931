#include <cstdio>

int main() {
    std::fputs("zarvo-devservice: not built yet\n", stderr);
    return 1;
}
