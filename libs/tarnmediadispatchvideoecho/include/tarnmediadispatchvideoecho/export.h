// Marks the classes that the shared library exports; everything else stays hidden.
#pragma once

#define TARN_VIDEOECHO_API __attribute__((visibility("default")))
