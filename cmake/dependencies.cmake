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

# rovod_find_pkg(<prefix> <pkg-config module> <debian package> <what is left out without it>)
# The module as the global target PkgConfig::<prefix>, found once for every
# directory that asks; sets ROVOD_HAVE_<prefix> in the caller's scope.
macro(rovod_find_pkg prefix module debian what)
  if(NOT TARGET PkgConfig::${prefix})
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
      pkg_check_modules(${prefix} QUIET IMPORTED_TARGET GLOBAL ${module})
    endif()
  endif()
  if(TARGET PkgConfig::${prefix})
    set(ROVOD_HAVE_${prefix} TRUE)
  elseif(ROVOD_REQUIRE_ALL)
    message(FATAL_ERROR "${module} is missing: install Debian's ${debian} and pkg-config (needed by ${what})")
  else()
    set(ROVOD_HAVE_${prefix} FALSE)
    message(WARNING "${module} not found: ${what} left out (Debian package: ${debian})")
  endif()
endmacro()
