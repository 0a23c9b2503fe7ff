// The codec the archiver runs: shows the percentage in place and stops on a key press.
#pragma once

#include "codec/zstream_codec.h"

class CConsoleCodec final : public CZStreamCodec {
  protected:
    void OnProgress(int percent) override;
};
