// libkova.so is kova_core linked whole; CMake wants one source of the target's own.
