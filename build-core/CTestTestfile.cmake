# CMake generated Testfile for 
# Source directory: /work/wt-bias
# Build directory: /work/wt-bias/build-core
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test(core_tests "/work/wt-bias/build-core/core_tests")
set_tests_properties(core_tests PROPERTIES  _BACKTRACE_TRIPLES "/work/wt-bias/CMakeLists.txt;42;add_test;/work/wt-bias/CMakeLists.txt;0;")
