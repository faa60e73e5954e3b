# fw_app and the fwupgrade program are defined here.
