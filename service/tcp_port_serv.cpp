// Program entry. The service host is built on top of this file.
int main() { return 0; }
