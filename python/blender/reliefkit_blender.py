"""Blender add-on: height and normal maps of the active image, made by reliefkit.

Install this one file from Edit > Preferences > Add-ons > Install. It needs the
reliefkit Python package importable by Blender's Python: on Debian, Blender runs
the system python3, so `pip install --break-system-packages --no-build-isolation
./python` (as root, from the reliefkit repository) is enough; a package installed
elsewhere (a virtual environment's site-packages) is named in the add-on's
preferences instead.
"""

bl_info = {
    "name": "reliefkit relief maps",
    "description": "Height and normal maps from the active image (Shader Editor, Image Editor)",
    "author": "reliefkit",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "Image Editor / Shader Editor > Sidebar > Relief",
    "category": "Material",
}

import importlib
import sys

import bpy
import numpy as np

ADDON = __name__


def package_missing(error):
    """Whether an ImportError says that the reliefkit package itself is not there, rather
    than something it needs (its shared library, numpy), which its own message names."""
    return isinstance(error, ModuleNotFoundError) and error.name == "reliefkit"


def reliefkit_module(context=None):
    """The reliefkit package, or raises ImportError saying how to get it."""
    try:
        return importlib.import_module("reliefkit")
    except ImportError as first:
        if not package_missing(first):
            raise
        prefs = (context or bpy.context).preferences.addons.get(ADDON)
        folder = prefs.preferences.package_folder if prefs else ""
        if folder and folder not in sys.path:
            sys.path.append(bpy.path.abspath(folder))
            try:
                return importlib.import_module("reliefkit")
            except ImportError as second:
                if not package_missing(second):
                    raise
                first = second
        raise ImportError(f"reliefkit is not importable by Blender's Python ({first}); install "
                          "it with pip (see the add-on's description) or name the folder that "
                          "holds it in the add-on's preferences") from first


# --------------------------------------------------------------------------- settings

MODES = [(m, m.replace("-", " ").title(), "") for m in
         ("luminance", "average", "red", "green", "blue", "red-green", "red-blue", "green-blue")]
KINDS = [(k, k.title(), "") for k in ("gaussian", "box", "tent")]


class ReliefSettings(bpy.types.PropertyGroup):
    mode: bpy.props.EnumProperty(name="Mode", items=MODES, default="luminance",
                                 description="How colour becomes height")
    dark_is_high: bpy.props.BoolProperty(
        name="Dark is high", default=False,
        description="Invert the channels: dark joints sink in where the photo's mortar is light")
    auto_levels: bpy.props.BoolProperty(name="Auto levels", default=True,
                                        description="Move the darkest level down to zero")
    midpoint: bpy.props.FloatProperty(name="Midpoint", default=0.5, min=0.0, max=1.0,
                                      description="Input level that becomes mid-grey")
    detail_size: bpy.props.IntProperty(name="Detail size", default=5, min=0, max=99,
                                       description="Edge-preserving smoothing, taps (below 3: off)")
    detail_threshold: bpy.props.FloatProperty(name="Detail threshold", default=0.05, min=0.0,
                                              max=0.5, description="Edge strength kept sharp")
    smooth_size: bpy.props.IntProperty(name="Smooth size", default=3, min=0, max=99,
                                       description="Final blur of the heights, taps (below 3: off)")
    smooth_kind: bpy.props.EnumProperty(name="Smooth kind", items=KINDS, default="gaussian")
    strength: bpy.props.IntProperty(name="Strength", default=2, min=1, max=10,
                                    description="Steepness of the normals")
    normal_blur: bpy.props.IntProperty(name="Normal blur", default=0, min=0, max=254,
                                       description="Blur of the normals, taps (below 3: off)")
    opengl_green: bpy.props.BoolProperty(
        name="Green up (OpenGL)", default=True,
        description="Flip green so that it points up the picture, as Blender's Normal Map "
                    "node expects")
    seamless: bpy.props.BoolProperty(name="Seamless", default=False,
                                     description="Read across the opposite edge (tiling textures)")
    wire_material: bpy.props.BoolProperty(
        name="Wire into material", default=True,
        description="Add the maps to the active material: Normal Map node into the shader's "
                    "Normal; Displacement node into the output's Displacement when the "
                    "material's displacement method moves the surface, else left unlinked")
    displacement_scale: bpy.props.FloatProperty(
        name="Displacement scale", default=0.05, min=0.0,
        description="Height of the Displacement node. It is linked into the output only when "
                    "the material's Settings > Displacement is Displacement Only or "
                    "Displacement and Bump (Cycles then moves a subdivided mesh); under the "
                    "default, Bump Only, it is left unlinked, the normal map alone shades and "
                    "this scale changes nothing. After changing the method, make the maps "
                    "again (or link the node by hand)")
    material_maps: bpy.props.BoolProperty(
        name="Colour and roughness", default=True,
        description="Also make the de-lit colour (into Base Color) and a roughness map (into "
                    "Roughness)")
    occlusion: bpy.props.EnumProperty(
        name="Occlusion", default="NONE",
        items=[("NONE", "Left out", "Cycles and Eevee shade occlusion themselves"),
               ("MULTIPLY", "Into colour", "Multiply the occlusion map into the base colour, "
                "for a look baked from the photograph")],
        description="What to do with an occlusion map made from the heights")


class ReliefPreferences(bpy.types.AddonPreferences):
    bl_idname = ADDON
    package_folder: bpy.props.StringProperty(
        name="reliefkit package folder", subtype="DIR_PATH",
        description="Folder holding the reliefkit package (e.g. a virtual environment's "
                    "site-packages) when Blender's Python does not find it by itself")

    def draw(self, context):
        self.layout.prop(self, "package_folder")


# --------------------------------------------------------------------------- pixels

class Pixels(np.ndarray):
    """An image's pixels, and whether they hold sRGB-encoded values (srgb) or linear light,
    as a float image of a linear file (an EXR or HDR photograph) or one made in Blender
    does."""
    srgb = True

    def __array_finalize__(self, source):
        self.srgb = getattr(source, "srgb", True)


# The file formats that hold light itself; the others (PNG, JPEG, TGA) hold values
# encoded for display, whatever colour space the image is marked with in Blender.
LINEAR_FILES = {"OPEN_EXR", "OPEN_EXR_MULTILAYER", "HDR"}


def holds_encoded_values(image):
    """Whether image's photograph is sRGB-encoded, as reliefkit reads it: every 8-bit image,
    and every image of a file in an encoded format of either depth, whatever its mark (a
    mark of Non-Color or Linear says how Blender shows the file, not what it holds); a
    float image of a linear file or made in Blender only when it is marked sRGB."""
    return (not image.is_float or image.colorspace_settings.name == "sRGB"
            or (image.source == "FILE" and image.file_format not in LINEAR_FILES))


def held_pixels(image):
    """The pixels Blender holds for image, flat, bottom row first."""
    flat = np.empty(len(image.pixels), np.float32)
    image.pixels.foreach_get(flat)
    return flat


def file_values(image):
    """A float image's flat pixels as its file holds them, or None when Blender's are
    other (painted, made in Blender, of a linear file) or its file cannot be read again.
    Blender multiplies a straight-alpha image's colour by alpha on load, which loses the
    colour where alpha is 0, and converts it from the colour space it is marked with: a
    copy read as channel-packed and Non-Color is neither. The copy, not the image, is
    set so: the user's image keeps its settings and the pixels it holds."""
    if image.source != "FILE" or image.is_dirty or image.file_format in LINEAR_FILES:
        return None
    copy = image.copy()
    try:
        copy.alpha_mode = "CHANNEL_PACKED"
        copy.colorspace_settings.name = "Non-Color"
        return held_pixels(copy) if tuple(copy.size) == tuple(image.size) else None
    finally:
        bpy.data.images.remove(copy)


def undo_float_load(flat, image):
    """The values of a float image's file from the pixels Blender holds: the colour is
    divided by the alpha a straight-alpha image's was multiplied by (a premultiplied file
    holds it so, channel-packed or ignored alpha leaves it alone; where alpha is 0 the
    colour is gone) and encoded again when Blender made it linear from sRGB."""
    pixels = flat.reshape(-1, 4).astype(np.float64)
    if image.alpha_mode == "STRAIGHT":
        alpha = pixels[:, 3:4]
        pixels[:, :3] = np.where(alpha > 0.0, pixels[:, :3] / np.where(alpha > 0.0, alpha, 1.0),
                                 pixels[:, :3])
    if image.colorspace_settings.name == "sRGB":
        c = np.maximum(pixels[:, :3], 0.0)
        pixels[:, :3] = np.where(c <= 0.0031308, c * 12.92, 1.055 * c ** (1 / 2.4) - 0.055)
    return pixels


def float_values(image):
    """A float image's flat pixels as reliefkit reads its file: read again when it can be,
    else recovered from Blender's as nearly as they can be."""
    flat = file_values(image)
    pixels = undo_float_load(held_pixels(image), image) if flat is None else flat
    if image.source == "FILE" and image.file_format == "PNG":
        # A 16-bit PNG's steps of 1/65535 are restored.
        pixels = np.round(pixels.astype(np.float64) * 65535) / 65535
    return pixels.astype(np.float32).ravel()


def image_to_array(image):
    """(H, W, 4) float32 Pixels, row 0 at the top (Blender keeps the bottom row first)."""
    w, h = image.size
    if image.is_float:
        flat = float_values(image)
    else:
        # Blender scales bytes by a rounded 1/255, reliefkit's readers divide by 255: the
        # bytes are recovered and divided again so that the maps match the library's.
        flat = np.round(held_pixels(image) * np.float32(255)) / np.float32(255)
    array = np.ascontiguousarray(flat.reshape(h, w, 4)[::-1]).view(Pixels)
    array.srgb = holds_encoded_values(image)
    return array


# The custom properties that name the photograph a map was made of and the map's kind
# (the suffix of its name: height, normal, albedo, roughness, ao).
SOURCE = "reliefkit_source"
KIND = "reliefkit_map"

# Blender keeps at most 63 bytes of a name: the longest suffix has to fit after the stem.
NAME_BYTES = 63 - len("_roughness")


def map_stem(photo_name):
    """The photograph's name without its extension, cut on a character boundary so that
    every map's name fits whole (a Japanese name reaches 63 bytes at 21 characters)."""
    stem = photo_name.rsplit(".", 1)[0]
    return stem.encode()[:NAME_BYTES].decode("utf-8", "ignore")


def is_map_of(image, source, kind):
    """Whether image is the kind of map made before of the photograph called source (a map
    made before maps recorded their kind is known by its name)."""
    return image.get(SOURCE) == source and image.get(KIND, image.name.rsplit("_", 1)[-1]) == kind


def array_to_image(array, source, kind, colour=False):
    """New float image holding array's colour exactly (alpha 1), marked as data
    (Non-Color), or as colour in Blender's linear space when colour is set; the kind of
    map made of the image called source, named after it."""
    h, w = array.shape[:2]
    name = f"{map_stem(source)}_{kind}"
    image = bpy.data.images.new(name, w, h, alpha=False, float_buffer=True)
    if not colour:
        image.colorspace_settings.name = "Non-Color"
    # The image has no alpha: the packed EXR is saved without it and read back opaque,
    # so the pixels are opaque from the start (the de-lit colour would otherwise
    # carry the photograph's alpha only until the .blend is opened again).
    pixels = np.array(array[::-1], dtype=np.float32)
    pixels[..., 3] = 1.0
    image.pixels.foreach_set(pixels.ravel())
    image.update()
    # A generated image is not saved with the .blend: packed, as 32-bit float
    # EXR, the maps are still there when the file is opened again.
    image.file_format = "OPEN_EXR"
    image.use_half_precision = False
    image.pack()
    # The maps made before of this photograph may be in other materials (the
    # photograph on another object): they get the new maps instead of none. They are
    # known by what they record, not by their name, which Blender numbers when another
    # photograph of the same stem has it. The maps of that photograph keep theirs, and
    # their names: a name given that is taken is taken away from its holder, so the new
    # map gets the first of its own name and the old map's that is free.
    olds = [old for old in bpy.data.images if is_map_of(old, source, kind)]
    names = [name] + [old.name for old in olds]
    for old in olds:
        old.user_remap(image)
        bpy.data.images.remove(old)
    image[SOURCE], image[KIND] = source, kind
    image.name = next((n for n in names if bpy.data.images.get(n) in (None, image)), image.name)
    return image


def fft_length(n):
    """The least length from n on with no prime factor above 5: one the FFT is fast at
    (a prime length is many times slower), and but a few per cent over n."""
    length = n
    while True:
        rest = length
        for prime in (2, 3, 5):
            while rest % prime == 0:
                rest //= prime
        if rest == 1:
            return length
        length += 1


def blur_rows(rows, weights, seamless):
    """Rows (R, N) blurred along N by the odd weights, the edges clamped or wrapped: the
    padded rows are convolved through their spectra, a few passes over the image instead
    of one per tap, a block of rows at a time so that the spectra stay small."""
    n, half = rows.shape[1], len(weights) // 2
    index = np.arange(-half, n + half)
    index = index % n if seamless else np.clip(index, 0, n - 1)
    # Of the convolution around the FFT's length, the values from 2 * half on see only
    # padded values, as a direct sum does.
    size = fft_length(n + 2 * half)
    kernel = np.fft.rfft(weights, size)
    out = np.empty(rows.shape, np.float32)
    for start in range(0, len(rows), 256):
        spectrum = np.fft.rfft(rows[start:start + 256, index], size) * kernel
        out[start:start + 256] = np.fft.irfft(spectrum, size)[:, 2 * half:n + 2 * half]
    return out


def blur_normals(vectors, taps, seamless):
    """Unit normals (H, W, 3) blurred by a Gaussian of taps (an even count one less)
    spanning three sigmas each way, the edges clamped or wrapped, then made unit length
    again."""
    taps -= 1 - taps % 2
    half = taps // 2
    x = np.arange(-half, half + 1, dtype=np.float64)
    weights = np.exp(-0.5 * (x / (taps / 6.0)) ** 2)
    weights /= weights.sum()
    h, w = vectors.shape[:2]
    planes = np.moveaxis(vectors.astype(np.float32), -1, 0).reshape(3 * h, w)
    across = blur_rows(planes, weights, seamless).reshape(3, h, w)
    down = blur_rows(across.transpose(0, 2, 1).reshape(3 * w, h), weights, seamless)
    out = np.ascontiguousarray(down.reshape(3, w, h).transpose(2, 1, 0))
    out /= np.maximum(np.linalg.norm(out, axis=-1, keepdims=True), np.float32(1e-12))
    return out


def make_maps(rk, photo, s):
    """The height and the normal map of photo with the settings s, as Blender wants them."""
    height = rk.heightmap(photo, mode=s.mode, auto_levels=s.auto_levels, midpoint=s.midpoint,
                          detail=(s.detail_size, s.detail_threshold),
                          smooth=(s.smooth_size, s.smooth_kind), invert=s.dark_is_high,
                          seamless=s.seamless)
    normal = rk.normalmap(height, strength=s.strength, invert_y=s.opengl_green,
                          seamless=s.seamless)
    # The library stores z itself in blue; the Normal Map node decodes every channel
    # as 2c - 1, so blue is stored as 0.5 + 0.5 z like red and green. The library's
    # own blur would read that z as 2z - 1 (and alpha with it), tilting steep normals
    # into the surface: the unit normals are blurred here instead.
    if s.normal_blur >= 3:
        vectors = normal[..., :3].copy()
        vectors[..., :2] = np.float32(2) * vectors[..., :2] - np.float32(1)
        vectors = blur_normals(vectors, s.normal_blur, s.seamless)
        normal[..., :3] = np.float32(0.5) + np.float32(0.5) * vectors
    else:
        normal[..., 2] = np.float32(0.5) + np.float32(0.5) * normal[..., 2]
    return height, normal


def srgb_to_linear(array):
    """The colour channels of an sRGB-encoded array in linear light (float images hold
    linear values), alpha kept."""
    out = array.copy()
    c = array[..., :3]
    out[..., :3] = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    return out


def make_material_maps(rk, photo, height, s):
    """The de-lit colour (linear), the roughness and, when it is used, the occlusion."""
    colour = rk.albedo(photo, seamless=s.seamless)
    if getattr(photo, "srgb", True):
        # The colour is encoded as the photograph was: only sRGB values are made linear.
        colour = srgb_to_linear(colour)
    rough = rk.roughness(photo, seamless=s.seamless)
    occlusion = rk.ambient_occlusion(height, seamless=s.seamless) \
        if s.occlusion == "MULTIPLY" else None
    return colour, rough, occlusion


# --------------------------------------------------------------------------- material

# The custom property that marks the add-on's nodes with the part each plays, so that a
# node of the user's of that name is neither taken nor duplicated.
NODE = "reliefkit_node"


def find_relief_node(nodes, name, kind):
    """The add-on's node playing name, or None (one of kind made before nodes were marked is
    known by its name)."""
    marked = next((node for node in nodes if node.get(NODE) == name), None)
    old = nodes.get(name)
    return marked or (old if old is not None and old.bl_idname == kind and NODE not in old
                      else None)


def relief_node(nodes, name, kind, location):
    """The add-on's node called name: made on the first run, the same node on the next,
    so that making the maps again updates the material instead of adding another set."""
    node = find_relief_node(nodes, name, kind)
    if node is None:
        node = nodes.new(kind)
        node.name, node.location = name, location
    node[NODE] = name
    return node


def wire_material(material, height_image, normal_image, scale):
    material.use_nodes = True
    nodes, links = material.node_tree.nodes, material.node_tree.links
    output = next((n for n in nodes if n.type == "OUTPUT_MATERIAL" and n.is_active_output),
                  None) or nodes.new("ShaderNodeOutputMaterial")
    shader = output.inputs["Surface"].links[0].from_node if output.inputs["Surface"].links \
        else None
    x, y = output.location

    normal_tex = relief_node(nodes, "Relief normal", "ShaderNodeTexImage", (x - 900, y - 300))
    normal_tex.image = normal_image
    normal_map = relief_node(nodes, "Relief normal map", "ShaderNodeNormalMap", (x - 600, y - 300))
    links.new(normal_tex.outputs["Color"], normal_map.inputs["Color"])
    unwired = []
    if shader is not None and "Normal" in shader.inputs:
        links.new(normal_map.outputs["Normal"], shader.inputs["Normal"])
    else:
        unwired.append("Normal")

    height_tex = relief_node(nodes, "Relief height", "ShaderNodeTexImage", (x - 600, y - 600))
    height_tex.image = height_image
    displacement = relief_node(nodes, "Relief displacement", "ShaderNodeDisplacement",
                               (x - 300, y - 600))
    displacement.inputs["Scale"].default_value = scale
    links.new(height_tex.outputs["Color"], displacement.inputs["Height"])
    # Under Bump Only, Cycles turns the output's Displacement into a bump on top of the
    # normal map, shading the relief twice: the node is linked only where it moves the
    # surface, and an earlier run's link is taken away when the method is Bump Only again.
    if moves_surface(material):
        links.new(displacement.outputs["Displacement"], output.inputs["Displacement"])
    else:
        for link in list(output.inputs["Displacement"].links):
            if link.from_node == displacement:
                links.remove(link)
    return unwired


def moves_surface(material):
    """Whether the material's displacement method moves the surface (Displacement Only,
    Displacement and Bump) rather than only bumps it (Bump Only, the default). Blender
    keeps it on the material from 4.1 on, in the material's Cycles settings before."""
    holder = material if hasattr(material, "displacement_method") \
        else getattr(material, "cycles", None)
    return getattr(holder, "displacement_method", "BUMP") != "BUMP"


def wire_colour(material, colour_image, rough_image, occlusion_image):
    """Base Color from the de-lit colour (times the occlusion when given), Roughness from
    the roughness map, on the shader feeding the active output; answers the inputs it
    found no shader's socket for."""
    nodes, links = material.node_tree.nodes, material.node_tree.links
    output = next(n for n in nodes if n.type == "OUTPUT_MATERIAL" and n.is_active_output)
    if not output.inputs["Surface"].links:
        return ["Base Color", "Roughness"]
    shader = output.inputs["Surface"].links[0].from_node
    x, y = output.location
    colour_tex = relief_node(nodes, "Relief colour", "ShaderNodeTexImage", (x - 900, y + 300))
    colour_tex.image = colour_image
    colour = colour_tex.outputs["Color"]
    if occlusion_image is not None:
        occlusion_tex = relief_node(nodes, "Relief occlusion", "ShaderNodeTexImage",
                                    (x - 900, y + 600))
        occlusion_tex.image = occlusion_image
        mix = relief_node(nodes, "Relief occlusion mix", "ShaderNodeMixRGB", (x - 600, y + 400))
        mix.blend_type = "MULTIPLY"
        mix.inputs["Fac"].default_value = 1.0
        links.new(colour, mix.inputs["Color1"])
        links.new(occlusion_tex.outputs["Color"], mix.inputs["Color2"])
        colour = mix.outputs["Color"]
    else:
        drop_occlusion(material)
    rough_tex = relief_node(nodes, "Relief roughness", "ShaderNodeTexImage", (x - 900, y))
    rough_tex.image = rough_image
    unwired = []
    for name, socket in (("Base Color", colour), ("Roughness", rough_tex.outputs["Color"])):
        if name in shader.inputs:
            links.new(socket, shader.inputs[name])
        else:
            unwired.append(name)
    return unwired


def drop_occlusion(material):
    """Takes an earlier run's occlusion out of the material: made of the heights of then,
    it is no longer multiplied in, and the colour it darkened goes where the product went."""
    nodes, links = material.node_tree.nodes, material.node_tree.links
    mix = find_relief_node(nodes, "Relief occlusion mix", "ShaderNodeMixRGB")
    if mix is not None and mix.inputs["Color1"].links:
        colour = mix.inputs["Color1"].links[0].from_socket
        for socket in [link.to_socket for link in mix.outputs["Color"].links]:
            links.new(colour, socket)
    for node in (mix, find_relief_node(nodes, "Relief occlusion", "ShaderNodeTexImage")):
        if node is not None:
            nodes.remove(node)


def drop_colour(material):
    """Takes an earlier run's colour, roughness and occlusion out of the material when the
    colour is not made: they may be of another photograph, or of other settings, and
    would be mixed with this run's heights and normals. Base Color and Roughness go back
    to the shader's own values."""
    drop_occlusion(material)
    nodes = material.node_tree.nodes
    for name in ("Relief colour", "Relief roughness"):
        node = find_relief_node(nodes, name, "ShaderNodeTexImage")
        if node is not None:
            nodes.remove(node)


# --------------------------------------------------------------------------- operator

def active_image(context):
    space = context.space_data
    if space is not None and space.type == "IMAGE_EDITOR":
        return space.image
    if space is not None and space.type == "NODE_EDITOR":
        node = context.active_node
        if node is not None and node.type == "TEX_IMAGE":
            return node.image
    return None


class RELIEFKIT_OT_make_maps(bpy.types.Operator):
    """Make a height image and a normal image (Non-Color) of the active image"""
    bl_idname = "reliefkit.make_maps"
    bl_label = "Make relief maps"
    bl_options = {"REGISTER", "UNDO"}

    image_name: bpy.props.StringProperty(
        name="Image", description="Image to use; empty: the active image of the editor")

    def execute(self, context):
        image = bpy.data.images.get(self.image_name) if self.image_name else active_image(context)
        if image is None:
            self.report({"ERROR"}, f"no image called {self.image_name!r}" if self.image_name else
                        "no image: show one in the Image Editor or select an Image Texture node")
            return {"CANCELLED"}
        if image.get(SOURCE) is not None:
            self.report({"ERROR"}, f"{image.name} is a map made of {image[SOURCE]}: choose the "
                                   "photograph")
            return {"CANCELLED"}
        if image.size[0] == 0:
            # An image whose file is gone or unreadable is there, but has no pixels.
            self.report({"ERROR"}, f"image {image.name} has no pixels: Blender cannot read "
                                   f"{bpy.path.abspath(image.filepath) or 'it'}")
            return {"CANCELLED"}
        try:
            rk = reliefkit_module(context)
            photo = image_to_array(image)
            height, normal = make_maps(rk, photo, context.scene.reliefkit)
            extra = make_material_maps(rk, photo, height, context.scene.reliefkit) \
                if context.scene.reliefkit.material_maps else None
        except (ImportError, OSError, RuntimeError, ValueError, NotImplementedError) as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        height_image = array_to_image(height, image.name, "height")
        normal_image = array_to_image(normal, image.name, "normal")
        settings = context.scene.reliefkit
        material = context.object.active_material if context.object else None
        unwired = []
        if settings.wire_material and material is not None:
            unwired += wire_material(material, height_image, normal_image,
                                     settings.displacement_scale)
        if extra is not None:
            colour, rough, occlusion = extra
            images = (array_to_image(colour, image.name, "albedo", colour=True),
                      array_to_image(rough, image.name, "roughness"),
                      None if occlusion is None
                      else array_to_image(occlusion, image.name, "ao"))
            if settings.wire_material and material is not None:
                unwired += wire_colour(material, *images)
        elif settings.wire_material and material is not None:
            drop_colour(material)
        if settings.wire_material and material is None:
            self.report({"WARNING"}, f"made {height_image.name} and {normal_image.name}; not "
                                     "wired: no active material")
            return {"FINISHED"}
        if unwired:
            # A shader of the user's own (a Mix Shader, say) has other inputs: the
            # maps are made, and what is left to connect by hand is said.
            self.report({"WARNING"}, f"made {height_image.name} and {normal_image.name}; "
                                     f"the shader feeding {material.name}'s output has no "
                                     f"{', '.join(unwired)}: connect them by hand")
            return {"FINISHED"}
        self.report({"INFO"}, f"made {height_image.name} and {normal_image.name}")
        return {"FINISHED"}


class ReliefPanel:
    bl_region_type = "UI"
    bl_category = "Relief"
    bl_label = "Relief maps"

    def draw(self, context):
        s, layout = context.scene.reliefkit, self.layout
        layout.operator(RELIEFKIT_OT_make_maps.bl_idname)
        col = layout.column(heading="Height")
        for name in ("mode", "dark_is_high", "auto_levels", "midpoint", "detail_size",
                     "detail_threshold", "smooth_size", "smooth_kind"):
            col.prop(s, name)
        col = layout.column(heading="Normals")
        for name in ("strength", "normal_blur", "opengl_green", "seamless"):
            col.prop(s, name)
        col = layout.column(heading="Material")
        col.prop(s, "wire_material")
        col.prop(s, "displacement_scale")
        col.prop(s, "material_maps")
        col.prop(s, "occlusion")


class RELIEFKIT_PT_image(ReliefPanel, bpy.types.Panel):
    bl_space_type = "IMAGE_EDITOR"


class RELIEFKIT_PT_shader(ReliefPanel, bpy.types.Panel):
    bl_space_type = "NODE_EDITOR"

    @classmethod
    def poll(cls, context):
        return context.space_data.tree_type == "ShaderNodeTree"


CLASSES = (ReliefSettings, ReliefPreferences, RELIEFKIT_OT_make_maps, RELIEFKIT_PT_image,
           RELIEFKIT_PT_shader)


def register():
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.Scene.reliefkit = bpy.props.PointerProperty(type=ReliefSettings)


def unregister():
    del bpy.types.Scene.reliefkit
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
