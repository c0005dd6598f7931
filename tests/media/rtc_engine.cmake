# The production RTC engine against the stand-in's gateway over loopback.
pkg_check_modules(ZARVO_RTC_TEST_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0 libsoup-3.0)
zarvo_test(rtc_engine_tests COST 40
  SOURCES rtc_engine_loopback_test.cpp
  LIBS zarvo_rtc zarvo_devservice_rtc_loopback PkgConfig::ZARVO_RTC_TEST_PIXBUF)
