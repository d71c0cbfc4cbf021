# The compiler and linker flags Debian builds its packages with, every hardening
# feature on: fortified functions, the stack protector, format checks, read-only
# relocations and immediate binding. dpkg-buildflags runs in the source folder, so
# its file-prefix map makes the recorded paths relative to it, as in a Debian build.
find_program(DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
        COMMAND "${CMAKE_COMMAND}" -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all "${DPKG_BUILDFLAGS}" --get ${kind}
        WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
        OUTPUT_VARIABLE flags
        OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    set(debian_${kind} ${flags})
endforeach()
add_compile_options(${debian_CPPFLAGS} ${debian_CXXFLAGS})
add_link_options(${debian_LDFLAGS})
