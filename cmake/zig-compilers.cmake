# For the zig toolchain files: CMake's compiler settings are one path each, so
# small scripts in QEN_ZIG_CACHE_DIR/wrappers-NAME call zig (through zig-tool)
# as the compiler, archiver and ranlib of one target.
macro(qen_zig_compilers name zig_target)
  set(wrappers ${QEN_ZIG_CACHE_DIR}/wrappers-${name})
  file(MAKE_DIRECTORY ${wrappers})
  foreach(tool cc c++ ar ranlib)
    file(WRITE ${wrappers}/${tool}.tmp
      "#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR='${QEN_ZIG_CACHE_DIR}'\n"
      "exec '${CMAKE_CURRENT_LIST_DIR}/zig-tool' '${QEN_ZIG}' ${tool} ${zig_target} \"$@\"\n")
    file(CHMOD ${wrappers}/${tool}.tmp PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
      GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    file(RENAME ${wrappers}/${tool}.tmp ${wrappers}/${tool})
  endforeach()
  set(CMAKE_C_COMPILER ${wrappers}/cc)
  set(CMAKE_CXX_COMPILER ${wrappers}/c++)
  set(CMAKE_AR ${wrappers}/ar CACHE FILEPATH "")
  set(CMAKE_RANLIB ${wrappers}/ranlib CACHE FILEPATH "")
endmacro()
