# The stand-in billing's sources: its library here and the fuzz build's copy of it (which leaves
# out the HTTPS front and RTC parts) both take this one list.
set(ZARVO_DEVSERVICE_BILLING_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/billing/billing_api.cpp
  ${CMAKE_CURRENT_LIST_DIR}/billing/billing_auth.cpp
  ${CMAKE_CURRENT_LIST_DIR}/billing/billing_config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/billing/billing_records.cpp
  ${CMAKE_CURRENT_LIST_DIR}/billing/billing_service.cpp
  ${CMAKE_CURRENT_LIST_DIR}/billing/jpeg_data_url.cpp)
