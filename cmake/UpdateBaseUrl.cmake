# The update server's directory is part of the product, not of its runtime: it is
# fixed when the build is configured, and checked here so that a typo fails the
# configure step instead of a player's update.
set(UPDATE_BASE_URL "http://127.0.0.1:8080/updates/" CACHE STRING
    "Directory on the update server that holds update.dat and the packed files")

set(_host "([A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?|\\[[0-9A-Fa-f:.]+\\])")
set(_path "(/[A-Za-z0-9._~!$&'()*+;=@%-]+)*")
if(NOT UPDATE_BASE_URL MATCHES "^http://${_host}(:[0-9]+)?${_path}/updates/$")
  message(FATAL_ERROR
    "UPDATE_BASE_URL='${UPDATE_BASE_URL}' is not usable: it must start with http://, "
    "name a host (optionally :port), and its path must end in /updates/ "
    "(for example http://games.example.com/tdx/updates/).")
endif()
message(STATUS "Update server directory: ${UPDATE_BASE_URL}")
