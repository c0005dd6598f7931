# The stand-in's RTC side: the participant's edits and the gateway's signalling.
pkg_check_modules(ZARVO_RTC_STANDIN_TEST_DEPS REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0 libsoup-3.0)
zarvo_test(devservice_rtc_tests
  SOURCES rtc_edit_test.cpp rtc_gateway_test.cpp
  LIBS zarvo_devservice_rtc zarvo_devservice_rtc_loopback PkgConfig::ZARVO_RTC_STANDIN_TEST_DEPS)

# The engine against the whole stand-in over TLS: billing, the HTTPS front and the gateway.
zarvo_test(devservice_rtc_front_tests
  SOURCES rtc_devservice_test.cpp
  LIBS zarvo_devservice_rtc_front zarvo_devservice_billing_front zarvo_service zarvo_rtc
       PkgConfig::ZARVO_RTC_STANDIN_TEST_DEPS)
