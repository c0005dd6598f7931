# The virtual-camera output and the camera setup dialog; the frame pipe format and the loopback
# device lookup come from the sender's core.
add_library(zarvo_virtual_camera STATIC ${CMAKE_CURRENT_LIST_DIR}/virtual_camera.cpp
                                        ${CMAKE_CURRENT_LIST_DIR}/camera_setup_dialog.cpp)
target_link_libraries(zarvo_virtual_camera PUBLIC zarvo_media zarvo_pixelfeed_core
                      zarvo_pixelfeed_pipewire yuv nlohmann_json::nlohmann_json)

# The dialog's thin GTK presenter, kept apart so the output itself needs no toolkit.
pkg_check_modules(ZARVO_CAMERA_SETUP_GTK4 REQUIRED IMPORTED_TARGET gtk4)
add_library(zarvo_camera_setup_gtk STATIC ${CMAKE_CURRENT_LIST_DIR}/camera_setup_gtk.cpp)
target_link_libraries(zarvo_camera_setup_gtk PUBLIC zarvo_virtual_camera
                      PkgConfig::ZARVO_CAMERA_SETUP_GTK4)
