// The metric's similarity from a raw inner product of a query and a code and
// the candidate's stored norm n:
//   Cosine  raw / n (raw when n <= 1e-9)
//   Dot     raw
//   L2      raw - n*n/2, computed as raw + n * (n * -0.5f)
// All single precision. Higher is more similar for every metric.
#pragma once

#include "core/types.h"

namespace teskra {

inline float similarity(Metric metric, float raw, float n) {
  switch (metric) {
    case Metric::Cosine:
      return n > 1e-9f ? raw / n : raw;
    case Metric::L2:
      return raw + n * (n * -0.5f);
    case Metric::Dot:
      break;
  }
  return raw;
}

}  // namespace teskra
