#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

// Which build of the tests this is, said first so that a log of several runs
// (the Linux build, the x86-64 and the i686 Windows builds) tells them apart.
#if defined(_WIN64)
constexpr char kBuildName[] = "x86-64 Windows";
#elif defined(_WIN32)
constexpr char kBuildName[] = "i686 Windows";
#elif defined(__EMSCRIPTEN__)
constexpr char kBuildName[] = "WebAssembly";
#else
constexpr char kBuildName[] = "Linux";
#endif

}  // namespace

int main(int argc, char** argv) {
  bool listing = false;  // test discovery reads the list and nothing else
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) listing = true;
  }
  if (!listing) {
    std::printf("xr_tests: %s build (%d-bit)\n", kBuildName, static_cast<int>(sizeof(void*) * 8));
    std::fflush(stdout);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
