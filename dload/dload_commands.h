// Boot downloader (DLOAD) commands sent before the flash programmer is uploaded.
#pragma once

int dl_nop();
int send_dload_request();
int send_dload_unlock();
