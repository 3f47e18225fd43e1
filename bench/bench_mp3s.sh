# Sourced by the Quillet benchmarks: make_bench_mp3s DIR SECONDS makes ten
# different music-like MP3s of SECONDS each at 128 kbit/s, "DIR/track 0.mp3"
# to "DIR/track 9.mp3": a plucked chord over a moving bass, with some noise,
# so the encoder spends its bits as on real music. Needs sox and lame.
make_bench_mp3s() {
  local dir=$1 seconds=$2 i f1 f3 f5 fb
  local roots=(130.81 146.83 164.81 174.61 196.00 220.00 246.94 261.63 293.66 329.63)
  echo "making 10 x $seconds s MP3s at 128 kbit/s ..."
  for i in $(seq 0 9); do
    # A major triad on the root, and the root an octave down.
    read -r f1 f3 f5 fb < <(awk -v r="${roots[$i]}" 'BEGIN { printf "%.2f %.2f %.2f %.2f\n", r, r*1.2599, r*1.4983, r/2 }')
    sox -q -n -r 44100 -c 2 -b 16 "$dir/$i.wav" \
        synth "$seconds" pluck "$f1" pluck "$f3" pluck "$f5" sine "$fb" pinknoise \
        tremolo 2.$i 40 remix 1,2,3v0.6,4,5v0.05 1v0.6,2,3,4,5v0.05 norm -3
    lame --quiet -b 128 "$dir/$i.wav" "$dir/track $i.mp3"
    rm "$dir/$i.wav"
  done
}
