# Fails when the npm or the Python package's version is not the project's own.
#   cmake -DPROJECT_VERSION=0.1.0 -DPACKAGE_JSON=clients/node/package.json
#     -DPYTHON_PACKAGE=clients/python/qen_hotkey_helper/__init__.py -P check-versions.cmake
file(READ ${PACKAGE_JSON} manifest)
string(JSON npm_version GET "${manifest}" version)
file(STRINGS ${PYTHON_PACKAGE} python_line REGEX "^__version__ = ")
string(REGEX REPLACE "^__version__ = \"(.*)\"$" "\\1" python_version "${python_line}")
foreach(pair "${PACKAGE_JSON}=${npm_version}" "${PYTHON_PACKAGE}=${python_version}")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 file)
  list(GET pair 1 version)
  if(NOT version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${file} says ${version}; the project is ${PROJECT_VERSION} "
      "(project(... VERSION) in CMakeLists.txt): bump them together")
  endif()
endforeach()
message(STATUS "versions agree: ${PROJECT_VERSION}")
