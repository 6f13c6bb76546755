// Marks what the shm shared library exports; everything else stays hidden.
#pragma once

#define SHM_API __attribute__((visibility("default")))
