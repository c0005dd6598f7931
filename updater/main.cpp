#include <cstdio>

int main() {
    std::fputs("ZarvoUpdater: not built yet\n", stderr);
    return 1;
}
