# The stand-in's accounts, billing and session lifecycle.
pkg_check_modules(ZARVO_BILLING_TEST_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
zarvo_test(billing_tests
  SOURCES billing_service_test.cpp billing_config_test.cpp
  LIBS zarvo_devservice_billing PkgConfig::ZARVO_BILLING_TEST_PIXBUF)

# Whole lifecycles over TLS through the stand-in's front and the client's transport.
zarvo_test(billing_https_tests
  SOURCES billing_https_test.cpp
  LIBS zarvo_devservice_billing_front zarvo_service PkgConfig::ZARVO_BILLING_TEST_PIXBUF)
