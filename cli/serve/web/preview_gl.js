// The lit 3D preview: a plane displaced by the height map and shaded with the
// whole material (base colour, normal map, roughness, occlusion: Lambert and a
// Blinn-Phong highlight as sharp as the roughness allows), seen at an angle,
// with a light the user drags.
'use strict';

const VERTEX_SHADER = `
attribute vec2 a_uv;
uniform sampler2D u_height;
uniform mat4 u_matrix;
uniform vec2 u_half_size;
uniform float u_tiles;
uniform float u_depth;
varying vec2 v_uv;
vec2 tile(vec2 uv) { return uv - min(floor(uv), vec2(u_tiles - 1.0)); }
void main() {
  v_uv = a_uv * u_tiles;
  float h = texture2D(u_height, tile(v_uv)).r;
  vec3 p = vec3((a_uv.x * 2.0 - 1.0) * u_half_size.x, (1.0 - a_uv.y * 2.0) * u_half_size.y, h * u_depth);
  gl_Position = u_matrix * vec4(p, 1.0);
}`;

// Normals are read in picture coordinates (x right, y down the picture, z to
// the viewer): the axes the file's channels hold come from the server. Blue
// holds z itself, so z comes from x and y; a blurred map holds 0.5 + 0.5 of a
// vector scaled to unit length with alpha, so its x and y are shortened and
// all three are read and normalised instead.
const FRAGMENT_SHADER = `
precision highp float;
uniform sampler2D u_normal;
uniform sampler2D u_albedo;
uniform sampler2D u_roughness;
uniform sampler2D u_ao;
uniform vec3 u_light;
uniform vec3 u_pick_x;
uniform vec3 u_pick_y;
uniform vec3 u_pick_z;
uniform bool u_blurred;
uniform vec2 u_flip;
uniform float u_tiles;
varying vec2 v_uv;
void main() {
  vec2 uv = v_uv - min(floor(v_uv), vec2(u_tiles - 1.0));
  vec3 c = texture2D(u_normal, uv).rgb * 2.0 - 1.0;
  float x = dot(c, u_pick_x) * u_flip.x;
  float y = dot(c, u_pick_y) * u_flip.y;
  vec3 n = u_blurred ? normalize(vec3(x, y, dot(c, u_pick_z)))
                    : normalize(vec3(x, y, sqrt(max(0.0, 1.0 - x * x - y * y))));
  float lambert = max(dot(n, u_light), 0.0);
  vec3 base = pow(texture2D(u_albedo, uv).rgb, vec3(2.2));  // sRGB to linear, near enough
  float r = clamp(texture2D(u_roughness, uv).r, 0.05, 1.0);
  float ao = texture2D(u_ao, uv).r;
  vec3 h = normalize(u_light + vec3(0.0, 0.0, 1.0));
  float shine = pow(max(dot(n, h), 0.0), 2.0 / (r * r * r * r) - 2.0) * (1.0 - r) * 0.5;
  vec3 lit = base * (0.15 * ao + 0.85 * lambert) + vec3(shine * lambert);
  gl_FragColor = vec4(pow(lit, vec3(1.0 / 2.2)), 1.0);
}`;

const GRID = 160;  // cells per side; (GRID + 1)^2 vertices must fit 16-bit indices

function multiply(a, b) {
  const out = new Float32Array(16);
  for (let c = 0; c < 4; c++) {
    for (let r = 0; r < 4; r++) {
      let sum = 0;
      for (let k = 0; k < 4; k++) sum += a[k * 4 + r] * b[c * 4 + k];
      out[c * 4 + r] = sum;
    }
  }
  return out;
}

class ReliefPreview {
  constructor(canvas) {
    this.canvas = canvas;
    this.gl = canvas.getContext('webgl', { preserveDrawingBuffer: true, antialias: false });
    this.light = [-0.57735, -0.57735, 0.57735];  // from the upper left, as the command's --preview
    this.tiles = 1;
    this.ready = false;
    try {
      if (!this.gl) throw new Error('this browser offers no WebGL');
      this.program = this.link();
    } catch (error) {
      this.gl = null;
      canvas.replaceWith(Object.assign(document.createElement('p'), { textContent: `No lit preview: ${error.message}` }));
      return;
    }
    this.mesh();
    this.textures = Object.fromEntries(['height', 'normal', 'albedo', 'roughness', 'ao'].map((n) => [n, this.gl.createTexture()]));
    this.dragged = false;
    canvas.addEventListener('pointerdown', (e) => { this.dragged = false; canvas.setPointerCapture(e.pointerId); this.aim(e); });
    canvas.addEventListener('pointermove', (e) => { if (e.buttons) { this.dragged = true; this.aim(e); } });
    // Where a drag over shown maps ends, the page takes the light as the
    // photograph's (--light); a mere click sets nothing.
    canvas.addEventListener('pointerup', () => {
      if (!this.ready || !this.dragged) return;
      this.dragged = false;
      const [x, y, z] = this.light;
      const azimuth = (Math.round(Math.atan2(-y, x) * 180 / Math.PI) + 360) % 360;
      const elevation = Math.round(Math.asin(Math.min(z, 1)) * 180 / Math.PI);
      canvas.dispatchEvent(new CustomEvent('lightchange', { detail: { azimuth, elevation } }));
    });
  }

  link() {
    const gl = this.gl;
    const program = gl.createProgram();
    for (const [type, source] of [[gl.VERTEX_SHADER, VERTEX_SHADER], [gl.FRAGMENT_SHADER, FRAGMENT_SHADER]]) {
      const shader = gl.createShader(type);
      gl.shaderSource(shader, source);
      gl.compileShader(shader);
      if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(shader));
      gl.attachShader(program, shader);
    }
    gl.linkProgram(program);
    if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
    return program;
  }

  mesh() {
    const gl = this.gl;
    const side = GRID + 1;
    const uv = new Float32Array(side * side * 2);
    for (let y = 0; y < side; y++) {
      for (let x = 0; x < side; x++) uv.set([x / GRID, y / GRID], (y * side + x) * 2);
    }
    const indices = new Uint16Array(GRID * GRID * 6);
    let i = 0;
    for (let y = 0; y < GRID; y++) {
      for (let x = 0; x < GRID; x++) {
        const a = y * side + x;
        indices.set([a, a + side, a + 1, a + 1, a + side, a + side + 1], i);
        i += 6;
      }
    }
    gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
    gl.bufferData(gl.ARRAY_BUFFER, uv, gl.STATIC_DRAW);
    gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, gl.createBuffer());
    gl.bufferData(gl.ELEMENT_ARRAY_BUFFER, indices, gl.STATIC_DRAW);
    this.count = indices.length;
  }

  // The light follows the pointer: the middle of the picture is straight above.
  aim(event) {
    const box = this.canvas.getBoundingClientRect();
    let x = ((event.clientX - box.left) / box.width) * 2 - 1;
    let y = ((event.clientY - box.top) / box.height) * 2 - 1;
    const r = Math.hypot(x, y);
    if (r > 0.98) { x *= 0.98 / r; y *= 0.98 / r; }
    this.light = [x, y, Math.sqrt(1 - x * x - y * y)];
    this.draw();
  }

  setTiles(n) { this.tiles = n; this.draw(); }

  upload(texture, image) {
    const gl = this.gl;
    gl.bindTexture(gl.TEXTURE_2D, texture);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGB, gl.RGB, gl.UNSIGNED_BYTE, image);
    for (const [name, value] of [[gl.TEXTURE_MIN_FILTER, gl.LINEAR], [gl.TEXTURE_MAG_FILTER, gl.LINEAR],
      [gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE], [gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE]]) {
      gl.texParameteri(gl.TEXTURE_2D, name, value);
    }
  }

  setMaps(height, normal, encoding, material) {
    if (!this.gl) return;
    this.upload(this.textures.height, height);
    this.upload(this.textures.normal, normal);
    for (const name of ['albedo', 'roughness', 'ao']) this.upload(this.textures[name], material[name]);
    this.aspect = height.naturalWidth / height.naturalHeight;
    const pick = (axis) => [0, 1, 2].map((c) => (encoding.channel_of_axis[axis] === c ? 1 : 0));
    // Without a channel holding z, a blurred map's z is rebuilt as an unblurred one's.
    const blurred = encoding.blurred && encoding.channel_of_axis[2] >= 0;
    this.encoding = { x: pick(0), y: pick(1), z: pick(2), blurred, flip: [encoding.invert_x ? -1 : 1, encoding.invert_y ? -1 : 1] };
    this.ready = true;
    this.draw();
  }

  // No maps: the canvas is blank until the next ones come.
  clear() {
    if (!this.gl) return;
    this.ready = false;
    this.gl.clearColor(0.11, 0.12, 0.13, 1);
    this.gl.clear(this.gl.COLOR_BUFFER_BIT | this.gl.DEPTH_BUFFER_BIT);
  }

  matrix() {
    const aspect = this.canvas.width / this.canvas.height;
    const f = 1 / Math.tan(0.42);
    const near = 0.1, far = 20;
    const perspective = [f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) / (near - far), -1, 0, 0, (2 * far * near) / (near - far), 0];
    const tilt = -0.62, c = Math.cos(tilt), s = Math.sin(tilt);
    const view = [1, 0, 0, 0, 0, c, s, 0, 0, -s, c, 0, 0, 0.1, -2.25, 1];  // tilted back, then moved away
    return multiply(perspective, view);
  }

  draw() {
    if (!this.ready) return;
    const gl = this.gl;
    const p = this.program;
    gl.viewport(0, 0, this.canvas.width, this.canvas.height);
    gl.clearColor(0.11, 0.12, 0.13, 1);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    gl.enable(gl.DEPTH_TEST);
    gl.useProgram(p);
    const where = gl.getAttribLocation(p, 'a_uv');
    gl.enableVertexAttribArray(where);
    gl.vertexAttribPointer(where, 2, gl.FLOAT, false, 0, 0);
    const half = this.aspect >= 1 ? [1, 1 / this.aspect] : [this.aspect, 1];
    const u = (name) => gl.getUniformLocation(p, name);
    gl.uniformMatrix4fv(u('u_matrix'), false, this.matrix());
    gl.uniform2fv(u('u_half_size'), half);
    gl.uniform1f(u('u_tiles'), this.tiles);
    gl.uniform1f(u('u_depth'), 0.12);
    gl.uniform3fv(u('u_light'), this.light);
    gl.uniform3fv(u('u_pick_x'), this.encoding.x);
    gl.uniform3fv(u('u_pick_y'), this.encoding.y);
    gl.uniform3fv(u('u_pick_z'), this.encoding.z);
    gl.uniform1i(u('u_blurred'), this.encoding.blurred ? 1 : 0);
    gl.uniform2fv(u('u_flip'), this.encoding.flip);
    gl.activeTexture(gl.TEXTURE0);
    gl.bindTexture(gl.TEXTURE_2D, this.textures.height);
    gl.uniform1i(u('u_height'), 0);
    gl.activeTexture(gl.TEXTURE1);
    gl.bindTexture(gl.TEXTURE_2D, this.textures.normal);
    gl.uniform1i(u('u_normal'), 1);
    for (const [i, name] of ['albedo', 'roughness', 'ao'].entries()) {
      gl.activeTexture(gl.TEXTURE2 + i);
      gl.bindTexture(gl.TEXTURE_2D, this.textures[name]);
      gl.uniform1i(u(`u_${name}`), 2 + i);
    }
    gl.drawElements(gl.TRIANGLES, this.count, gl.UNSIGNED_SHORT, 0);
  }
}
