#include <cstdio>

int main() {
    std::fputs("pixelfeed: not built yet\n", stderr);
    return 1;
}
