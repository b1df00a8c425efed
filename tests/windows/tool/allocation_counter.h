// Counts the allocations made through operator new on the calling thread.
#pragma once

long ThreadAllocations();
