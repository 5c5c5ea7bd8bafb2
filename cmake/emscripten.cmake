# The web page: the engine compiled to WebAssembly with emscripten. Debian's
# package puts emcc and its CMake platform file under /usr/share/emscripten.
#   cmake -S . -B build/web -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/emscripten.cmake
find_program(XR_EMCC emcc REQUIRED)
get_filename_component(xr_emcc_real "${XR_EMCC}" REALPATH)
get_filename_component(EMSCRIPTEN_ROOT_PATH "${xr_emcc_real}" DIRECTORY)
include("${EMSCRIPTEN_ROOT_PATH}/cmake/Modules/Platform/Emscripten.cmake")
# Debian's emcc finds the JavaScript tools' modules (acorn) only through NODE_PATH.
if(EXISTS /usr/share/nodejs/acorn)
  set(CMAKE_C_LINKER_LAUNCHER env NODE_PATH=/usr/share/nodejs)
  set(CMAKE_CXX_LINKER_LAUNCHER env NODE_PATH=/usr/share/nodejs)
endif()
