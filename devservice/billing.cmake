# Accounts, points billing and the session lifecycle of the service stand-in.
pkg_check_modules(ZARVO_BILLING_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
include(${CMAKE_CURRENT_LIST_DIR}/billing_sources.cmake)
add_library(zarvo_devservice_billing STATIC ${ZARVO_DEVSERVICE_BILLING_SOURCES})
target_link_libraries(zarvo_devservice_billing PUBLIC zarvo_foundation PRIVATE PkgConfig::ZARVO_BILLING_PIXBUF)
zarvo_folder_library(zarvo_devservice_billing)

# Plugging the billing into the HTTPS front.
add_library(zarvo_devservice_billing_front STATIC billing/billing_front.cpp)
target_link_libraries(zarvo_devservice_billing_front PUBLIC zarvo_devservice_billing zarvo_devservice_lib)
target_link_libraries(zarvo-devservice PRIVATE zarvo_devservice_billing_front)
