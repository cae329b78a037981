# cv_add_test(NAME SOURCES... LIBS... [GUI])
# One test program per subsystem. Its main (tests/support) points HOME, XDG_* and TMPDIR
# at a fresh temporary folder before any test runs, so no test touches the real home folder.
function(cv_add_test name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_GUI)
    target_link_libraries(${name} PRIVATE cv_test_main_gui ${T_LIBS})
  else()
    target_link_libraries(${name} PRIVATE cv_test_main ${T_LIBS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;CORVANE_BIN_DIR=${CMAKE_BINARY_DIR}/bin;CORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    TIMEOUT 900)
endfunction()
