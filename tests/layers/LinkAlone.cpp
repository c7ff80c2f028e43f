// Links the whole of one layer's library with only the layers below it
// (tests/CMakeLists.txt): a call from the layer into a higher one leaves a
// symbol undefined, and this program does not link.

int main() { return 0; }
