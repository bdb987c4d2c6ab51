// Linked with every object of one layer and nothing above it (see the top CMakeLists.txt): the
// program itself is empty, the link is the check.
int main() {
    return 0;
}
