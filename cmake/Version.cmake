# The release tools' version, set once: project(... VERSION ...) in the
# top-level CMakeLists.txt. Everything that shows a version takes it from
# there:
#   zarvo_version            an interface target whose header, zarvo_version.h,
#                            defines ZARVO_VERSION ("1.0.0"): quillet-check's
#                            --version
#   zarvo_version_record()   a Windows program's version record (what
#                            Explorer's Details tab shows)
#   packaging/               the packages' names and versions, the manual
#                            pages, the Windows README
# Ostrel's version record is the device's own (reboot/ostrel.rc) and stays
# apart from this one.

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${CMAKE_BINARY_DIR}/generated/zarvo_version.h @ONLY)
add_library(zarvo_version INTERFACE)
target_include_directories(zarvo_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

# zarvo_version_record(TARGET FILE_NAME DESCRIPTION): compiles a version
# record for TARGET, a Windows program installed as FILE_NAME, into it. Its
# four numbers are the version's, missing ones 0 (1.0.0 is 1, 0, 0, 0); its
# texts carry the version as written.
function(zarvo_version_record target file_name description)
  set(numbers)
  foreach(part MAJOR MINOR PATCH TWEAK)
    if("${PROJECT_VERSION_${part}}" STREQUAL "")
      list(APPEND numbers 0)
    else()
      list(APPEND numbers ${PROJECT_VERSION_${part}})
    endif()
  endforeach()
  list(JOIN numbers ", " ZARVO_RC_NUMBERS)
  set(ZARVO_RC_FILE "${file_name}")
  get_filename_component(ZARVO_RC_NAME "${file_name}" NAME_WE)
  set(ZARVO_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/generated/${target}-version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
