#!/usr/bin/env bash
# Regenerates the short demo tracks in assets/media/: a few seconds of tones,
# AAC in MP4 with the index at the front, small enough to keep in the repo.
# Needs ffmpeg (apt-get install ffmpeg); the build does not.
set -euo pipefail
out="$(cd "$(dirname "$0")/.." && pwd)/assets/media"
mkdir -p "$out"
# name  frequencies of a little arpeggio (Hz)  seconds
tracks=(
  "track-1 220:277:330:440 4"
  "track-2 262:330:392:523 4"
  "track-3 196:247:294:392 5"
  "track-4 330:415:494:659 3"
)
for t in "${tracks[@]}"; do
  read -r name freqs seconds <<<"$t"
  IFS=: read -r f1 f2 f3 f4 <<<"$freqs"
  # one tone per quarter of the track, with a soft beat on top
  expr="0.25*sin(2*PI*if(lt(mod(t,1),0.25),$f1,if(lt(mod(t,1),0.5),$f2,if(lt(mod(t,1),0.75),$f3,$f4)))*t)*(0.6+0.4*exp(-8*mod(t,0.5)))"
  ffmpeg -loglevel error -y -f lavfi -i "aevalsrc=exprs='${expr}':s=44100:d=${seconds}" \
    -c:a aac -b:a 48k -ac 1 -movflags +faststart -map_metadata -1 -fflags +bitexact \
    -flags:a +bitexact "$out/$name.mp4"
done
ls -l "$out"
