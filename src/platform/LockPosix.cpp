#include "platform/Lock.h"

void Lock::Acquire() { mutex.lock(); }
void Lock::Release() { mutex.unlock(); }
