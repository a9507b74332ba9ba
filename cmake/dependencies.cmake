# The driver needs only a C++20 compiler. The tools, tests and benchmarks use
# Debian's libraries; in a user's build a missing one leaves its part out
# with a message that names the package. The presets set ROVOD_REQUIRE_ALL,
# so that there (and in CI) a missing library is an error instead.

# rovod_find(<package> <debian package> <what is left out without it> [find_package args])
# Sets ROVOD_HAVE_<package> in the caller's scope.
macro(rovod_find package debian what)
  if(NOT DEFINED ROVOD_HAVE_${package})
    find_package(${package} ${ARGN} QUIET)
    if(${package}_FOUND)
      set(ROVOD_HAVE_${package} TRUE)
    elseif(ROVOD_REQUIRE_ALL)
      message(FATAL_ERROR "${package} is missing: install Debian's ${debian} (needed by ${what})")
    else()
      set(ROVOD_HAVE_${package} FALSE)
      message(WARNING "${package} not found: ${what} left out (Debian package: ${debian})")
    endif()
  endif()
endmacro()
