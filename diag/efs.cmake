# The EFS2 client, file transfer and the copy-to-device job, part of fw_diag. Listing a local
# folder is the one piece each platform provides.
target_sources(fw_diag PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/efs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/efs_transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/home_tree.cpp
  ${CMAKE_CURRENT_LIST_DIR}/copy_job.cpp)
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/local_dir_${FWUP_PLATFORM}.cpp)
  target_sources(fw_diag PRIVATE ${CMAKE_CURRENT_LIST_DIR}/local_dir_${FWUP_PLATFORM}.cpp)
endif()
