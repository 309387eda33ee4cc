# Hardening, as Debian builds its packages: fortified string and memory
# functions, stack protector, format checks, full RELRO with bind-now. The
# flags are dpkg-buildflags' (with every hardening feature) where it exists,
# else the same fixed list. Off with the sanitizers and in the fuzz build,
# where fortify's checked functions get in the way of ASan's own.
option(TESMORA_HARDENING "Build with the hardening flags of a Debian package" ON)

if(TESMORA_HARDENING AND NOT TESMORA_SANITIZE AND NOT TESMORA_FUZZ)
  find_program(DPKG_BUILDFLAGS dpkg-buildflags)
  if(DPKG_BUILDFLAGS)
    # Only hardening: the reproducible-build features map this folder's paths.
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=hardening=+all reproducible=-all"
                ${DPKG_BUILDFLAGS} --get ${kind}
        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
      separate_arguments(TESMORA_HARDENING_${kind} UNIX_COMMAND "${flags}")
    endforeach()
  else()
    set(TESMORA_HARDENING_CPPFLAGS -D_FORTIFY_SOURCE=2)
    set(TESMORA_HARDENING_CXXFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
    set(TESMORA_HARDENING_LDFLAGS -Wl,-z,relro -Wl,-z,now)
  endif()
  # Optimisation and debug information stay the build type's.
  list(FILTER TESMORA_HARDENING_CXXFLAGS EXCLUDE REGEX "^-(O.*|g.*)$")
  foreach(flag IN LISTS TESMORA_HARDENING_CPPFLAGS)
    if(flag MATCHES "^-D_FORTIFY_SOURCE")
      # Fortify needs optimisation; without it glibc warns in every file.
      add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
    else()
      add_compile_options(${flag})
    endif()
  endforeach()
  add_compile_options(${TESMORA_HARDENING_CXXFLAGS})
  add_link_options(${TESMORA_HARDENING_LDFLAGS})
  string(JOIN " " flags ${TESMORA_HARDENING_CPPFLAGS} ${TESMORA_HARDENING_CXXFLAGS}
         ${TESMORA_HARDENING_LDFLAGS})
  message(STATUS "Hardening: ${flags}")
endif()
