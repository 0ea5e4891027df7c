// Real media files for the preview tests, made by ffmpeg (photos, a video with sound, a song) and by
// hand (a one-page PDF).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

function ffmpeg(args) {
  execFileSync('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-y', ...args], { stdio: 'inherit' });
}

// `count` photos of `size` (WIDTHxHEIGHT) named by `pattern` (an ffmpeg pattern such as IMG_%04d.jpg),
// each a different colourful gradient.
export function writePhotos(folder, pattern, count, size, seed = 1) {
  fs.mkdirSync(folder, { recursive: true });
  const source = 'gradients=size=' + size + ':speed=0.3:seed=' + seed;
  ffmpeg(['-f', 'lavfi', '-i', source, '-frames:v', String(count), '-q:v', '3', path.join(folder, pattern)]);
}

// A test picture with a tone, `seconds` long, in WebM (VP8 and Vorbis) with a key frame every second,
// so a seek far into it asks for the part of the file it lands in.
export function writeVideo(file, seconds) {
  ffmpeg([
    '-f', 'lavfi', '-i', 'testsrc2=duration=' + seconds + ':size=480x270:rate=25',
    '-f', 'lavfi', '-i', 'sine=frequency=440:duration=' + seconds,
    '-c:v', 'libvpx', '-deadline', 'realtime', '-cpu-used', '8', '-b:v', '1500k', '-g', '25',
    '-c:a', 'libvorbis', '-shortest', file,
  ]);
}

// A clip as a phone or a camera makes it: `codec` is libx265 (HEVC, in a MOV) or libx264 (H.264, in an
// MP4 with its index at the end, so that a browser must ask for ranges to read it), with AAC sound.
export function writeCameraClip(file, seconds, codec) {
  ffmpeg([
    '-f', 'lavfi', '-i', 'testsrc2=duration=' + seconds + ':size=320x180:rate=25',
    '-f', 'lavfi', '-i', 'sine=frequency=440:duration=' + seconds,
    '-c:v', codec, '-preset', 'ultrafast', '-g', '25', '-pix_fmt', 'yuv420p',
    ...(codec === 'libx265' ? ['-tag:v', 'hvc1', '-x265-params', 'log-level=error'] : []),
    '-c:a', 'aac', '-shortest', file,
  ]);
}

export function writeSong(file, seconds) {
  ffmpeg(['-f', 'lavfi', '-i', 'sine=frequency=330:duration=' + seconds, '-c:a', 'libvorbis', file]);
}

// A one-page PDF that says `text`, with a correct cross-reference table.
export function pdfBytes(text) {
  const stream = 'BT /F1 24 Tf 40 120 Td (' + text + ') Tj ET';
  const objects = [
    '<< /Type /Catalog /Pages 2 0 R >>',
    '<< /Type /Pages /Kids [3 0 R] /Count 1 >>',
    '<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 260] /Contents 4 0 R ' +
      '/Resources << /Font << /F1 5 0 R >> >> >>',
    '<< /Length ' + stream.length + ' >>\nstream\n' + stream + '\nendstream',
    '<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>',
  ];
  let out = '%PDF-1.4\n';
  const offsets = objects.map((body, index) => {
    const offset = out.length;
    out += index + 1 + ' 0 obj\n' + body + '\nendobj\n';
    return offset;
  });
  const table = out.length;
  out += 'xref\n0 ' + (objects.length + 1) + '\n0000000000 65535 f \n';
  for (const offset of offsets) out += String(offset).padStart(10, '0') + ' 00000 n \n';
  out += 'trailer\n<< /Size ' + (objects.length + 1) + ' /Root 1 0 R >>\nstartxref\n' + table + '\n%%EOF\n';
  return Buffer.from(out, 'latin1');
}
