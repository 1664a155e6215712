// appsim: drives the app on the simulated device.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "demo") != 0) {
    std::fprintf(stderr, "usage: appsim demo\n");
    return 2;
  }
  std::printf("appsim demo: the simulated device is not built yet; nothing to play.\n");
  return 0;
}
