#pragma once

// True when automatic protocol selection is on (preference "ProtcolSelAuto" == 1).
bool isProtcolAuto();
