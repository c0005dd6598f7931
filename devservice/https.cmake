# The stand-in's HTTPS front (listeners, CA, deployment file, fault injection, request record)
# and the zarvo-devservice program.
pkg_check_modules(ZARVO_DEVSERVICE_HTTPS_DEPS REQUIRED IMPORTED_TARGET libsoup-3.0 libcrypto)
add_library(zarvo_devservice_lib STATIC
  certificate_authority.cpp
  devservice.cpp
  fault_injection.cpp)
target_link_libraries(zarvo_devservice_lib PUBLIC zarvo_foundation zarvo_devservice_billing PkgConfig::ZARVO_DEVSERVICE_HTTPS_DEPS)

add_executable(zarvo-devservice main.cpp)
target_link_libraries(zarvo-devservice PRIVATE zarvo_devservice_lib)
