# GoogleTest's headers, precompiled once per build folder for every test
# program.
#
# Each test source includes <gtest/gtest.h> or <gmock/gmock.h>, and reading
# them (gmock's above all) takes most of the time a test source takes to
# compile. So the first test program found precompiles them and the others
# reuse its header. The compiler uses a precompiled header only where the
# macros defined on the command line are the ones it was made with (and
# otherwise reads the headers again): a program with definitions of its own
# (the end-to-end tests' paths) precompiles its own header when it has three
# sources or more, and does without below that, where it would not pay.
# The sources are unchanged.
#
# zarvo_precompile_test_headers() is called at the end of the top-level
# CMakeLists.txt: it finds the test programs itself (every executable that
# links GoogleTest), so test folders need nothing of their own.

function(zarvo_collect_targets dir out)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    zarvo_collect_targets("${subdir}" more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(zarvo_precompile_test_headers)
  zarvo_collect_targets("${CMAKE_SOURCE_DIR}" targets)
  set(first "")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(libraries ${target} LINK_LIBRARIES)
    if(NOT type STREQUAL "EXECUTABLE" OR NOT libraries MATCHES "GTest::")
      continue()
    endif()
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
