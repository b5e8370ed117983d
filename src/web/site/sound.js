// The page's sound output: plays the decoded sound it is handed, in order, and reports
// its pulls to the page as [frames, frames of sound]: the sound came first, silence
// made up the rest (the queue had no more). What has been heard, and where the sound
// broke off, the page's clock makes of these.
class ShowSound extends AudioWorkletProcessor {
  constructor() {
    super();
    this.queue = []; // interleaved stereo Float32Arrays
    this.at = 0; // sample frames of queue[0] played
    this.frames = 0; // pulled since the last report
    this.sound = 0; // of those, sound
    this.quanta = 0;
    this.port.onmessage = (e) => {
      if (e.data === 'discard') {
        this.queue = [];
        this.at = 0;
      } else {
        this.queue.push(e.data);
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
    left.fill(0, i);
    if (right !== left) right.fill(0, i);
    this.frames += n;
    this.sound += i;
    // Every other quantum, and at once when sound ran short: silence ends a report.
    if (++this.quanta % 2 === 0 || i < n) this.report();
    return true;
  }

  report() {
    this.port.postMessage([this.frames, this.sound]);
    this.frames = this.sound = 0;
  }
}
registerProcessor('show-sound', ShowSound);
