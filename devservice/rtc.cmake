# RTC signalling and the AI participant of the service stand-in.
pkg_check_modules(ZARVO_DEVSERVICE_RTC_DEPS REQUIRED IMPORTED_TARGET libsoup-3.0 gdk-pixbuf-2.0)
add_library(zarvo_devservice_rtc STATIC
  rtc/ai_edit.cpp
  rtc/ai_participant.cpp
  rtc/rtc_gateway.cpp)
target_link_libraries(zarvo_devservice_rtc PUBLIC zarvo_rtc zarvo_foundation
  PRIVATE PkgConfig::ZARVO_DEVSERVICE_RTC_DEPS)
zarvo_folder_library(zarvo_devservice_rtc)

# The gateway on 127.0.0.1 with an in-memory session table, for the engine's tests and benchmark.
add_library(zarvo_devservice_rtc_loopback STATIC rtc/loopback_rtc_service.cpp)
target_link_libraries(zarvo_devservice_rtc_loopback PUBLIC zarvo_devservice_rtc
  PRIVATE PkgConfig::ZARVO_DEVSERVICE_RTC_DEPS)
# The edits touch every pixel of every frame; even a debug build must keep up with 25 fps.
set_source_files_properties(rtc/ai_edit.cpp PROPERTIES COMPILE_OPTIONS "-O2")

# The gateway behind the HTTPS front.
add_library(zarvo_devservice_rtc_front STATIC rtc/rtc_front.cpp)
target_link_libraries(zarvo_devservice_rtc_front PUBLIC zarvo_devservice_rtc zarvo_devservice_lib)
target_link_libraries(zarvo-devservice PRIVATE zarvo_devservice_rtc_front)
