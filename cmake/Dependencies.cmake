# Outside libraries, all from Debian packages (scripts/install-deps installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswscale)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
# libyuv ships no pkg-config file on Debian 12.
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
add_library(libyuv::libyuv UNKNOWN IMPORTED)
set_target_properties(libyuv::libyuv PROPERTIES IMPORTED_LOCATION ${LIBYUV_LIBRARY}
                                                INTERFACE_INCLUDE_DIRECTORIES ${LIBYUV_INCLUDE_DIR})
