// The plot of the pixels that change from each page to the next, before
// and after matching, drawn into the page's SVG.
function plot(before, after) {
  const svg = $("plot");
  $("figure").hidden = before.length === 0;
  if (before.length === 0) {
    svg.innerHTML = "";
    return;
  }
  const [left, right, top, bottom] = [62, 626, 12, 210];
  const count = before.length;
  let most = 1;
  for (const values of [before, after]) {
    for (const value of values) most = Math.max(most, value);
  }
  const buckets = Math.max(1, Math.min(right - left, count));
  const x = (b) => buckets > 1 ? left + 3 + b * (right - left - 6) / (buckets - 1) : (left + right) / 2;
  // Lines stay inside the frame, clear of its edges, and where the two
  // coincide (a cart with nothing to change) the wide grey one shows
  // around the blue.
  const y = (value) => bottom - 4 - (bottom - top - 8) * value / most;
  const line = (values, name, width) => {
    const points = [];
    for (let b = 0; b < buckets; ++b) {
      const from = Math.floor(b * count / buckets);
      const to = Math.max(from + 1, Math.floor((b + 1) * count / buckets));
      let sum = 0;
      for (let i = from; i < to; ++i) sum += values[i];
      points.push(`${x(b).toFixed(1)},${y(sum / (to - from)).toFixed(1)}`);
    }
    return `<polyline class="${name}" fill="none" stroke-width="${width}" stroke-linejoin="round" points="${points.join(" ")}"/>`;
  };
  const ticks = [];
  for (const f of [0, 0.5, 1]) {
    const value = Math.round(most * f);
    const at = y(most * f);
    ticks.push(`<line class="tick" x1="${left - 5}" x2="${left}" y1="${at}" y2="${at}"/>`,
               `<text x="${left - 8}" y="${at + 4}" text-anchor="end">${value}</text>`);
    const page = 2 + Math.round((count - 1) * f);
    const across = buckets > 1 ? left + 3 + (right - left - 6) * f : (left + right) / 2;
    ticks.push(`<line class="tick" x1="${across}" x2="${across}" y1="${bottom}" y2="${bottom + 5}"/>`,
               `<text x="${across}" y="${bottom + 19}" text-anchor="middle">${page}</text>`);
  }
  svg.innerHTML = `<rect class="frame" x="${left}" y="${top}" width="${right - left}" height="${bottom - top}"/>` +
    ticks.join("") + line(before, "before", 5) + line(after, "after", 1.5) +
    `<text x="${(left + right) / 2}" y="${bottom + 36}" text-anchor="middle">page</text>` +
    `<text transform="translate(14 ${(top + bottom) / 2}) rotate(-90)" text-anchor="middle">pixels changed</text>`;
}
