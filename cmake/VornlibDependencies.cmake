# SPDX-License-Identifier: MIT
# Dependencies from Debian (the README's set-up installs them).
include(GNUInstallDirs)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(VornlibFFmpeg REQUIRED IMPORTED_TARGET
  libavformat libavcodec libavutil libswresample)
pkg_check_modules(VornlibUuid REQUIRED IMPORTED_TARGET uuid)
find_package(nlohmann_json 3 REQUIRED)
