# GoogleTest for the tests, from Debian's source package (googletest), so that
# the same sources serve the native, sanitizer, fuzz and cross builds.
#
# It is built once per toolchain, not once per build folder: each preset names
# a folder for its toolchain in ZARVO_GTEST_ROOT (build/googletest/linux for
# the native, sanitizer and fuzz builds, build/googletest/mingw for the cross
# build), and the first configure that finds it empty builds GoogleTest there
# and installs it; every later one finds it installed. It is built optimised
# and without sanitizers: what the sanitizers watch is our code and the tests'
# own, and a library built without them links into their programs as the C++
# library does. The Linux folder is built with the system's compiler (gcc);
# the fuzz build's clang links the same library, since both use libstdc++.
#
# Without ZARVO_GTEST_ROOT (a build folder made without a preset) GoogleTest
# is built inside the build folder, as part of the project. Where the
# system has it built (Debian's libgmock-dev, for the Linux builds), the
# system's serves.

# On Linux, Debian's libgtest-dev and libgmock-dev hold the same release
# built already: the native, sanitizer and fuzz builds link those and build
# nothing of it.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest 1.10 CONFIG QUIET)
  if(TARGET GTest::gmock AND TARGET GTest::gtest_main)
    return()
  endif()
endif()

set(ZARVO_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
set(ZARVO_GTEST_ROOT "" CACHE PATH
    "Folder where GoogleTest is built once and installed for this toolchain's build folders \
(empty: built inside this build folder)")
if(NOT EXISTS "${ZARVO_GTEST_SOURCE}/CMakeLists.txt")
  message(FATAL_ERROR "GoogleTest sources not found in ${ZARVO_GTEST_SOURCE}; "
                      "install Debian's googletest package")
endif()

if(NOT ZARVO_GTEST_ROOT)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory("${ZARVO_GTEST_SOURCE}" "${CMAKE_BINARY_DIR}/_googletest" EXCLUDE_FROM_ALL)
  return()
endif()

# What the installed copy was built from: when it differs (another version of
# the sources, another toolchain file), the copy is built again.
file(STRINGS "${ZARVO_GTEST_SOURCE}/CMakeLists.txt" gtest_version REGEX "GOOGLETEST_VERSION")
set(gtest_built_from "sources ${ZARVO_GTEST_SOURCE} (${gtest_version})\n"
                     "toolchain ${CMAKE_TOOLCHAIN_FILE}\n")
string(CONCAT gtest_built_from ${gtest_built_from})
set(gtest_stamp "${ZARVO_GTEST_ROOT}/built-from.txt")
set(gtest_install "${ZARVO_GTEST_ROOT}/install")

# Two configures at once (two presets of one toolchain) build it once: the
# second waits for the first.
file(MAKE_DIRECTORY "${ZARVO_GTEST_ROOT}")
file(LOCK "${ZARVO_GTEST_ROOT}" DIRECTORY GUARD FILE TIMEOUT 1800)
set(gtest_have "")
if(EXISTS "${gtest_stamp}")
  file(READ "${gtest_stamp}" gtest_have)
endif()
if(NOT gtest_have STREQUAL gtest_built_from)
  message(STATUS "Building GoogleTest once for this toolchain in ${ZARVO_GTEST_ROOT}")
  file(REMOVE_RECURSE "${ZARVO_GTEST_ROOT}/build" "${gtest_install}" "${gtest_stamp}")
  set(gtest_toolchain)
  if(CMAKE_TOOLCHAIN_FILE)
    set(gtest_toolchain "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}")
  endif()
  cmake_host_system_information(RESULT gtest_jobs QUERY NUMBER_OF_LOGICAL_CORES)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${ZARVO_GTEST_SOURCE}" -B "${ZARVO_GTEST_ROOT}/build"
            -G "${CMAKE_GENERATOR}" ${gtest_toolchain} -DCMAKE_BUILD_TYPE=Release
            "-DCMAKE_INSTALL_PREFIX=${gtest_install}" -DCMAKE_INSTALL_LIBDIR=lib
            -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
    COMMAND_ECHO NONE OUTPUT_FILE "${ZARVO_GTEST_ROOT}/configure.log"
    ERROR_FILE "${ZARVO_GTEST_ROOT}/configure.log" RESULT_VARIABLE gtest_status)
  if(gtest_status EQUAL 0)
    execute_process(
      COMMAND "${CMAKE_COMMAND}" --build "${ZARVO_GTEST_ROOT}/build" --target install
              --parallel ${gtest_jobs}
      OUTPUT_FILE "${ZARVO_GTEST_ROOT}/build.log" ERROR_FILE "${ZARVO_GTEST_ROOT}/build.log"
      RESULT_VARIABLE gtest_status)
  endif()
  if(NOT gtest_status EQUAL 0)
    message(FATAL_ERROR "GoogleTest could not be built in ${ZARVO_GTEST_ROOT}: see "
                        "configure.log and build.log there")
  endif()
  file(WRITE "${gtest_stamp}" "${gtest_built_from}")
endif()
file(LOCK "${ZARVO_GTEST_ROOT}" DIRECTORY RELEASE)

# The cross toolchain searches only its own root for packages; this copy lies
# outside it.
find_package(GTest 1.10 CONFIG REQUIRED PATHS "${gtest_install}" NO_DEFAULT_PATH
             NO_CMAKE_FIND_ROOT_PATH)
