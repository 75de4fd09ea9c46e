# Every compiler goes through ccache where it is installed: a second build of the same sources,
# in this tree, a fresh clone or another preset with the same flags, compiles nothing again.
# Its cache lives outside the work tree (ccache's own ~/.cache/ccache, or CCACHE_DIR), and
# paths are taken relative to the source tree, so that a clone elsewhere hits it too.
find_program(VELKO_CCACHE ccache)
if(VELKO_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER AND NOT DEFINED ENV{VELKO_NO_CCACHE})
    # time_macros and pch_defines let ccache cache what includes a precompiled header;
    # hash_dir off lets a clone in another folder hit (its debug info names the first folder).
    set(velko_launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR}
        CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
        ${VELKO_CCACHE})
    set(CMAKE_C_COMPILER_LAUNCHER ${velko_launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${velko_launcher})
endif()
