# System libraries, all from Debian packages (scripts/packages.txt).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(spdlog REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network Test)

pkg_check_modules(SYS REQUIRED IMPORTED_TARGET
  icu-uc icu-i18n
  portaudio-2.0
  sndfile
  libswresample libavformat libavcodec libavutil
  fftw3f
  avahi-client
  alsa)
