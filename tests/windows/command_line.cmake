# What fwupgrade.exe's command line tells a Windows user, under wine: the program's own file name
# in the usage (not the full path the C runtime hands over), '\' in every path it prints, the
# Public Documents folder as the log's place, and no --udev-rule, which is refused like any unknown
# option.
#   cmake -DWINE=... -DPROGRAM=.../fwupgrade.exe -DTEST_BUILD=.../fwupgrade_test_build.exe
#         -DWORK=<scratch folder> -P command_line.cmake

function(run_program expected_status output_var)
  execute_process(COMMAND ${WINE} ${PROGRAM} ${ARGN} INPUT_FILE /dev/null
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
  if(NOT status STREQUAL expected_status)
    message(FATAL_ERROR "fwupgrade.exe ${ARGN}: exit status ${status}, not ${expected_status}\n"
                        "${out}${err}")
  endif()
  set(${output_var} "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_in text pattern what)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: no match for ${pattern} in:\n${text}")
  endif()
endfunction()

function(expect_not_in text pattern what)
  if(text MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: ${CMAKE_MATCH_0} should not be there:\n${text}")
  endif()
endfunction()

# A path of this computer ("X:\..."), with a '/' somewhere in it.
set(mixed_path "[A-Za-z]:\\\\[^ \r\n]*/")

run_program(0 help --help)
expect_in("${help}" "^Usage: fwupgrade\\.exe \\[--check \\| --list \\| --seal DIR \\| --history \\[--json\\] \\| --help \\| --version \\| run\\]\r?\n +fwupgrade\\.exe \\[--package DIR\\] \\[--check \\| --list \\| run\\]\r?\n" "--help")
expect_in("${help}" "written to the Public Documents folder\r?\n  [A-Za-z]:\\\\[^\r\n]*\\\\Public\\\\Documents\r?\n" "--help")
expect_in("${help}" "goes with run, --check or --list\r?\n" "--help")
expect_not_in("${help}" "udev|${mixed_path}" "--help")

run_program(2 udev --udev-rule)
expect_in("${udev}" "(^|\n)fwupgrade\\.exe: unknown option --udev-rule\r?\nUsage: fwupgrade\\.exe " "--udev-rule")
expect_not_in("${udev}" "udev-rule \\|" "--udev-rule")

file(REMOVE_RECURSE ${WORK}/package)
file(MAKE_DIRECTORY ${WORK}/package/VELMOR)
run_program(2 alone --package ${WORK})
expect_in("${alone}" "fwupgrade\\.exe: --package goes with run, --check or --list\r?\n" "--package alone")

# A package folder given with '/' (as wine's Unix paths and many scripts give it) is printed with
# '\' throughout, the firmware files' names too.
file(WRITE ${WORK}/package/settings.ini "[id]\r\nfw=B002\r\ndiag0=USB\\VID_0000&PID_0000\r\n")
file(WRITE ${WORK}/package/VELMOR/amss.mbn "x")
run_program(1 check --package ${WORK}/package/ --check)
expect_in("${check}" "Package folder: [A-Za-z]:\\\\[^\r\n]*\\\\package\\\\\r?\n" "--check")
expect_not_in("${check}" "${mixed_path}|VELMOR/" "--check")

# Only the test build knows the clock's divisor setting: a variable left in a user's environment
# must not shorten the shipped program's time-outs.
file(STRINGS ${PROGRAM} named REGEX "FWUP_TIME_DIVISOR")
expect_not_in("${named}" "FWUP_TIME_DIVISOR" "the shipped program")
file(STRINGS ${TEST_BUILD} named REGEX "FWUP_TIME_DIVISOR")
expect_in("${named}" "FWUP_TIME_DIVISOR" "the test build")
