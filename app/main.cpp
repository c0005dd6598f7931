#include "app/process_entry.h"

int main(int argc, char** argv) { return zarvo::runZarvo(std::vector<std::string>(argv + 1, argv + argc)); }
