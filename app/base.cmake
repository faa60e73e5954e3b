# fw_base is defined here (settings, log, clock, progress).
