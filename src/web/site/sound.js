// The page's sound output: plays the decoded sound it is handed, in order, and says how
// much it has played. Sound that stops in the middle of a stream (the queue ran dry and
// more sound of the same stream came after) is an underrun; a pause between two streams
// (the last one's end played before the next one's start came) is not.
class ShowSound extends AudioWorkletProcessor {
  constructor() {
    super();
    this.queue = [];      // interleaved stereo Float32Arrays
    this.at = 0;          // sample frames of queue[0] played
    this.played = 0;      // sample frames played, ever
    this.ranDry = false;  // the queue ran dry in this stream
    this.underruns = 0;
    this.dryFrames = 0;   // frames of silence in underruns
    this.dryNow = 0;      // frames of silence since the queue ran dry
    this.quanta = 0;
    this.newStream = false;  // a stream began and none of its sound came yet
    this.port.onmessage = (e) => {
      const m = e.data;
      if (m instanceof Float32Array) {
        if (this.ranDry && this.queue.length === 0) {
          this.underruns++;
          this.dryFrames += this.dryNow;
        }
        this.ranDry = false;
        this.dryNow = 0;
        this.newStream = false;
        this.queue.push(m);
      } else if (m === 'stream') {
        this.ranDry = false;
        this.dryNow = 0;
        this.newStream = true;
      } else if (m === 'discard') {
        this.queue = [];
        this.at = 0;
        this.ranDry = false;
        this.dryNow = 0;
      }
    };
  }

  process(inputs, outputs) {
    const left = outputs[0][0], right = outputs[0][1] || left;
    const n = left.length;
    let i = 0;
    while (i < n && this.queue.length > 0) {
      const chunk = this.queue[0];
      const take = Math.min(n - i, chunk.length / 2 - this.at);
      for (let k = 0; k < take; k++) {
        left[i + k] = chunk[2 * (this.at + k)];
        right[i + k] = chunk[2 * (this.at + k) + 1];
      }
      i += take;
      this.at += take;
      if (2 * this.at >= chunk.length) {
        this.queue.shift();
        this.at = 0;
      }
    }
    if (i < n && this.played > 0 && !this.newStream) {
      this.ranDry = true;
      this.dryNow += n - i;
    }
    left.fill(0, i);
    if (right !== left) right.fill(0, i);
    this.played += i;
    if (++this.quanta % 2 === 0 || i < n)
      this.port.postMessage({ played: this.played, underruns: this.underruns, dryFrames: this.dryFrames });
    return true;
  }
}
registerProcessor('show-sound', ShowSound);
