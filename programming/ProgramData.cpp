#include "programming/ProgramData.h"

TCardImage CardImage;
std::string ClockSetting = "3.58";
