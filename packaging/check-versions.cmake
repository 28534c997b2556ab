# Fails when the npm package's version is not the project's own.
#   cmake -DPROJECT_VERSION=0.1.0 -DPACKAGE_JSON=clients/node/package.json -P check-versions.cmake
file(READ ${PACKAGE_JSON} manifest)
string(JSON npm_version GET "${manifest}" version)
if(NOT npm_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${PACKAGE_JSON} says ${npm_version}; the project is ${PROJECT_VERSION} "
    "(project(... VERSION) in CMakeLists.txt): bump both together")
endif()
message(STATUS "versions agree: ${PROJECT_VERSION}")
