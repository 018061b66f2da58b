// Prosody matching as the waveform cache uses it: the left record is the
// request, the right one the cached candidate.
#include <gtest/gtest.h>

#include "QelProsodyParams.h"

using TARNWICKSS::ProsodyParams;

namespace {

ProsodyParams WithRate(float relative) {
  ProsodyParams p;
  p.rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
  p.rate.value.relative = relative;
  return p;
}

TEST(ProsodyParamsTest, UnsetRateOrVolumeOfTheRequestMatchesAnything) {
  ProsodyParams request;
  ProsodyParams candidate;
  EXPECT_TRUE(request.Compare(candidate));

  candidate = WithRate(1.5f);
  EXPECT_TRUE(request.Compare(candidate));
  EXPECT_FALSE(candidate.Compare(request));

  candidate.volume.type = PROSODY_VOLUME_TYPE_NUMERIC;
  candidate.volume.value.numeric = 80.0f;
  EXPECT_TRUE(request.Compare(candidate));
  EXPECT_FALSE(candidate.Compare(request));
}

TEST(ProsodyParamsTest, SetRateAndVolumeMustMatchTypeAndBits) {
  EXPECT_TRUE(WithRate(1.5f).Compare(WithRate(1.5f)));
  EXPECT_FALSE(WithRate(1.5f).Compare(WithRate(1.25f)));
  // Bit for bit: zero and negative zero are different rates.
  EXPECT_FALSE(WithRate(0.0f).Compare(WithRate(-0.0f)));

  // A label whose number happens to share the value's bits is still a label.
  ProsodyParams label;
  label.rate.type = PROSODY_RATE_TYPE_LABEL;
  label.rate.value.label = PROSODY_RATE_FAST;
  ProsodyParams same_bits = label;
  same_bits.rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
  EXPECT_FALSE(label.Compare(same_bits));

  ProsodyParams loud;
  loud.volume.type = PROSODY_VOLUME_TYPE_LABEL;
  loud.volume.value.label = PROSODY_VOLUME_LOUD;
  ProsodyParams eighty;
  eighty.volume.type = PROSODY_VOLUME_TYPE_NUMERIC;
  eighty.volume.value.numeric = 80.0f;
  EXPECT_FALSE(loud.Compare(eighty));
  EXPECT_FALSE(eighty.Compare(loud));
  EXPECT_TRUE(loud.Compare(loud));
}

TEST(ProsodyParamsTest, StringsMustAlwaysMatchBothWays) {
  ProsodyParams plain;
  for (std::string ProsodyParams::*field :
       {&ProsodyParams::pitch, &ProsodyParams::contour, &ProsodyParams::range, &ProsodyParams::duration}) {
    ProsodyParams other;
    other.*field = "x";
    EXPECT_FALSE(plain.Compare(other));
    EXPECT_FALSE(other.Compare(plain));
    ProsodyParams copy = other;
    EXPECT_TRUE(other.Compare(copy));
  }
}

}  // namespace
