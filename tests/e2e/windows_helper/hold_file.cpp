// hold_file PATH: opens PATH for writing, shared with readers only, as another program that
// writes the file would; says "held" on standard output and keeps it open until it is ended.
// The end-to-end cases under Wine use it: Wine's sharing rules hold only among its own
// processes.

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: hold_file PATH\n", stderr);
    return 2;
  }
  const HANDLE file = ::CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s: error %lu\n", argv[1], ::GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  ::Sleep(INFINITE);
  return 0;
}
