# The release tools' version, set once: project(... VERSION ...) in the
# top-level CMakeLists.txt. Everything that shows a version takes it from
# there:
#   zarvo_version            an interface target whose header, zarvo_version.h,
#                            defines ZARVO_VERSION ("1.0.0"): quillet-check's
#                            --version

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${CMAKE_BINARY_DIR}/generated/zarvo_version.h @ONLY)
add_library(zarvo_version INTERFACE)
target_include_directories(zarvo_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
