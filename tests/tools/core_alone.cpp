// Linked with every object of the core library and no other library of the daemon: the
// link fails when a core object needs a symbol that only the network library (or any
// other area) defines, so the core runtime keeps building and linking on its own.
int main() {
    return 0;
}
