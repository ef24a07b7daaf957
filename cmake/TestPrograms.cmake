# How the test programs are compiled, set for all of them from the top level:
# zarvo_test_programs() is called at the end of the top-level CMakeLists.txt
# and finds them itself (every executable that links GoogleTest), so test
# folders need nothing of their own. Only the test programs' own sources are
# concerned: the code under test is compiled in its libraries with the build's
# flags (optimised in the native and Windows builds) and linked in as it is.
#
# - Without optimisation (-O0, as in a Debug build). The test sources are
#   large tables of cases that run in milliseconds either way; optimising
#   them took more than half of an optimised build's time.
# - GoogleTest's headers precompiled. Reading gmock.h and gtest.h took most
#   of each remaining test source's compile time, so the first test program
#   found precompiles them and the others reuse its header. gcc uses a
#   precompiled header only where the command line's macros match (and
#   otherwise, with -Werror, stops), so a program with definitions of its own
#   (the end-to-end tests' paths) precompiles its own when it has three
#   sources or more, and does without below that, where it would not pay.

function(zarvo_collect_targets dir out)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    zarvo_collect_targets("${subdir}" more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(zarvo_test_programs)
  zarvo_collect_targets("${CMAKE_SOURCE_DIR}" targets)
  set(first "")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(libraries ${target} LINK_LIBRARIES)
    if(NOT type STREQUAL "EXECUTABLE" OR NOT libraries MATCHES "GTest::")
      continue()
    endif()
    target_compile_options(${target} PRIVATE -O0)
    get_target_property(definitions ${target} COMPILE_DEFINITIONS)
    get_target_property(sources ${target} SOURCES)
    list(LENGTH sources count)
    if(definitions)
      if(count GREATER_EQUAL 3)
        target_precompile_headers(${target} PRIVATE <gmock/gmock.h> <gtest/gtest.h>)
      endif()
    elseif(first STREQUAL "")
      target_precompile_headers(${target} PRIVATE <gmock/gmock.h> <gtest/gtest.h>)
      set(first ${target})
    else()
      target_precompile_headers(${target} REUSE_FROM ${first})
    endif()
  endforeach()
endfunction()
