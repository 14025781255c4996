"""Run by `blender -b --factory-startup --python-exit-code 1 --python <this file>`:
installs and enables the add-on as a user does, makes the maps of the sample
photograph with two sets of settings and checks the images and the material
against the library's results."""
import os
import struct
import sys
import tempfile
import zlib
from pathlib import Path

import addon_utils
import bpy
import numpy as np

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "python"))
import reliefkit as rk  # noqa: E402

# Installed and enabled as a user does from the preferences, into a scripts folder
# of our own that is removed at the end.
scripts = tempfile.TemporaryDirectory()
bpy.context.preferences.filepaths.script_directory = scripts.name
bpy.utils.refresh_script_paths()
assert bpy.ops.preferences.addon_install(
    filepath=str(REPO / "python" / "blender" / "reliefkit_blender.py"), target="PREFS") == {
        "FINISHED"}
addon = addon_utils.enable("reliefkit_blender", default_set=True, handle_error=None)
assert addon and bpy.context.preferences.addons["reliefkit_blender"].preferences
# The package found without its library says so, not that the package is to be installed.
package = {n: sys.modules.pop(n) for n in list(sys.modules) if n.split(".")[0] == "reliefkit"}
library, os.environ["RELIEFKIT_LIBRARY"] = os.environ["RELIEFKIT_LIBRARY"], "/nowhere/lib.so"
try:
    addon.reliefkit_module()
    raise AssertionError("imported without its library")
except ImportError as error:
    assert "/nowhere/lib.so" in str(error) and "install it with pip" not in str(error), error
os.environ["RELIEFKIT_LIBRARY"] = library
sys.modules.update(package)

photo = bpy.data.images.load(str(REPO / "docs" / "samples" / "bricks.png"))
expected_photo = rk.load(REPO / "docs" / "samples" / "bricks.png")
assert np.array_equal(addon.image_to_array(photo), expected_photo), "Blender read other pixels"
# A 16-bit PNG, which Blender holds as a float image in linear light, gives the file's values.
with tempfile.TemporaryDirectory() as folder:
    rk.save_png(Path(folder) / "deep.png", expected_photo, depth=16)
    deep = bpy.data.images.load(str(Path(folder) / "deep.png"))
    assert deep.is_float and np.array_equal(addon.image_to_array(deep),
                                            rk.load(Path(folder) / "deep.png")), "16-bit PNG"
    # Marked Non-Color, it is shown otherwise but holds the same encoded values.
    deep.colorspace_settings.name = "Non-Color"
    assert addon.image_to_array(deep).srgb, "a Non-Color 16-bit PNG taken for linear light"
    bpy.data.images.remove(deep)
    # With alpha, Blender multiplies a float image's colour by it, losing it under alpha 0:
    # the file's values are read all the same.
    clear = np.round(expected_photo * 65535).astype(">u2")
    clear[::2, :, 3], clear[1::4, :, 3] = 16384, 0
    rows = b"".join(b"\0" + row.tobytes() for row in clear)
    chunk = lambda kind, data: (struct.pack(">I", len(data)) + kind + data +  # noqa: E731
                                struct.pack(">I", zlib.crc32(kind + data)))
    (Path(folder) / "clear.png").write_bytes(
        b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", clear.shape[1],
                                                            clear.shape[0], 16, 6, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
    clear_image = bpy.data.images.load(str(Path(folder) / "clear.png"))
    assert np.array_equal(addon.image_to_array(clear_image),
                          rk.load(Path(folder) / "clear.png")), "16-bit RGBA PNG"
    bpy.data.images.remove(clear_image)
    # The same image after its file is gone: the error names the file it cannot read.
    gone = bpy.data.images.load(str(Path(folder) / "deep.png"))
    (Path(folder) / "deep.png").unlink()
    try:
        bpy.ops.reliefkit.make_maps(image_name=gone.name)
        raise AssertionError("maps made of an image without pixels")
    except RuntimeError as error:
        assert "cannot read " + str(Path(folder) / "deep.png") in str(error), error
    bpy.data.images.remove(gone)

CASES = [
    ({}, {}, {"invert_y": True}),
    ({"dark_is_high": True, "strength": 4, "normal_blur": 5, "smooth_kind": "box",
      "opengl_green": False, "occlusion": "MULTIPLY"}, {"invert": True, "smooth": (3, "box")},
     {"strength": 4, "blur": 5}),
]
for settings, height_kw, normal_kw in CASES:
    s = bpy.context.scene.reliefkit
    for name in s.bl_rna.properties.keys():
        if name not in ("rna_type", "name"):
            s.property_unset(name)
    for name, value in settings.items():
        setattr(s, name, value)
    assert bpy.ops.reliefkit.make_maps(image_name=photo.name) == {"FINISHED"}
    height = rk.heightmap(expected_photo, **height_kw)
    blur = normal_kw.pop("blur", 0)
    normal = rk.normalmap(height, **normal_kw)
    normal[..., 2] = np.float32(0.5) + np.float32(0.5) * normal[..., 2]  # as Blender decodes it
    for name, want in (("bricks_height", height), ("bricks_normal", normal)):
        image = bpy.data.images[name]
        assert image.colorspace_settings.name == "Non-Color", name
        got = addon.image_to_array(image)
        if name == "bricks_normal" and blur:
            # Blurred: unit normals, none into the surface, flatter on the whole than
            # the same normals unblurred.
            v, u = 2 * got[..., :3] - 1, 2 * want[..., :3] - 1
            assert np.allclose(np.linalg.norm(v, axis=-1), 1, atol=1e-5), "not unit length"
            assert v[..., 2].min() > 0 and v[..., 2].mean() > u[..., 2].mean(), "steeper"
            continue
        assert np.array_equal(got[..., :3], want[..., :3]), f"{name} differs with {settings}"
    # The material maps: roughness as the library makes it, the colour in linear light.
    assert np.array_equal(addon.image_to_array(bpy.data.images["bricks_roughness"]),
                          rk.roughness(expected_photo))
    linear = addon.image_to_array(bpy.data.images["bricks_albedo"])[..., :3]
    back = np.where(linear <= 0.0031308, linear * 12.92, 1.055 * linear ** (1 / 2.4) - 0.055)
    assert np.allclose(back, rk.albedo(expected_photo)[..., :3], atol=1e-5), "colour not linear"

# Maps made again for another object's material leave the first material's maps in place.
first = bpy.context.object.active_material
bpy.ops.mesh.primitive_plane_add()
bpy.context.object.data.materials.append(bpy.data.materials.new("Other"))
bpy.context.object.active_material.use_nodes = True
assert bpy.ops.reliefkit.make_maps(image_name=photo.name) == {"FINISHED"}
assert all(n.image for n in first.node_tree.nodes if n.type == "TEX_IMAGE"), "maps taken away"

tree = bpy.data.materials["Material"].node_tree
linked = {(link.from_node.type, link.to_node.type, link.to_socket.name) for link in tree.links}
for want in (("NORMAL_MAP", "BSDF_PRINCIPLED", "Normal"),
             ("TEX_IMAGE", "NORMAL_MAP", "Color"), ("TEX_IMAGE", "DISPLACEMENT", "Height"),
             ("TEX_IMAGE", "BSDF_PRINCIPLED", "Roughness"), ("MIX_RGB", "BSDF_PRINCIPLED", "Base Color")):
    assert want in linked, f"the material lacks the link {want}"
# Under Bump Only, the default, the normal map alone shades: the Displacement node is not
# linked into the output; a method that moves the surface links it, Bump Only again unlinks it.
displaced = ("DISPLACEMENT", "OUTPUT_MATERIAL", "Displacement")
for method in ("BUMP", "BOTH", "BUMP"):
    bpy.data.materials["Material"].cycles.displacement_method = method
    addon.wire_material(bpy.data.materials["Material"], bpy.data.images["bricks_height"],
                        bpy.data.images["bricks_normal"], 0.05)
    assert (displaced in {(link.from_node.type, link.to_node.type, link.to_socket.name)
                          for link in tree.links}) == (method == "BOTH"), method
# Both runs wired the one material: each node is there once, not once per run.
kinds = [node.type for node in tree.nodes]
assert sorted(kinds) == sorted(["OUTPUT_MATERIAL", "BSDF_PRINCIPLED", "NORMAL_MAP", "DISPLACEMENT",
                                "MIX_RGB"] + ["TEX_IMAGE"] * 5), kinds
# Two photographs of one stem: the second's maps leave the first's alone, and a map
# is not taken for a photograph.
walls = []
for name, level in (("wall.png", 0.2), ("wall.jpg", 0.7)):
    wall = bpy.data.images.new(name, 16, 12)
    wall.pixels.foreach_set(np.tile(np.float32([level, level / 2, 0.3, 1]), 16 * 12))
    assert bpy.ops.reliefkit.make_maps(image_name=name) == {"FINISHED"}
    walls.append(addon.image_to_array(bpy.data.images["wall_albedo"]))
assert np.array_equal(addon.image_to_array(bpy.data.images["wall_albedo"]), walls[0]), "taken"
# Made again, the numbered maps of the second are replaced, not found by name and piled up.
assert bpy.ops.reliefkit.make_maps(image_name="wall.jpg") == {"FINISHED"}
assert len([i for i in bpy.data.images if i.get(addon.SOURCE) == "wall.jpg"]) == 5, "piled up"
# A long Japanese name: its maps' names are cut whole, and made again, each is there once.
long_name = bpy.data.images.new("煉瓦の壁" * 4 + "写真.png", 16, 12).name
for _ in range(2):
    assert bpy.ops.reliefkit.make_maps(image_name=long_name) == {"FINISHED"}
assert sorted(i.name for i in bpy.data.images if i.get(addon.SOURCE) == long_name) == sorted(
    "煉瓦の壁" * 4 + "写_" + kind for kind in ("albedo", "ao", "height", "normal", "roughness"))
# A linear float photograph (an EXR's) gives its colour as it is, not made linear again.
lit = bpy.data.images.new("lit.exr", 16, 12, float_buffer=True)
lit.pixels.foreach_set(np.tile(np.float32([0.2, 0.1, 0.3, 1]), 16 * 12))
assert bpy.ops.reliefkit.make_maps(image_name=lit.name) == {"FINISHED"}
assert np.allclose(addon.image_to_array(bpy.data.images["lit_albedo"])[..., :3],
                   rk.albedo(addon.image_to_array(lit))[..., :3], atol=1e-6), "made darker"
try:
    bpy.ops.reliefkit.make_maps(image_name="wall_height")
    raise AssertionError("maps made of a map")
except RuntimeError as error:
    assert "is a map made of wall.png" in str(error), error

# A shader without the inputs (a Mix Shader) leaves them to be connected by hand, and
# says which.
mixed = bpy.data.materials.new("Mixed")
mixed.use_nodes = True
mixed_nodes = mixed.node_tree.nodes
mixed_output = next(n for n in mixed_nodes if n.type == "OUTPUT_MATERIAL")
mix_shader = mixed_nodes.new("ShaderNodeMixShader")
mixed.node_tree.links.new(mix_shader.outputs["Shader"], mixed_output.inputs["Surface"])
maps = [bpy.data.images["wall_" + kind] for kind in ("height", "normal", "albedo", "roughness")]
assert addon.wire_material(mixed, maps[0], maps[1], 0.05) == ["Normal"]
assert addon.wire_colour(mixed, maps[2], maps[3], None) == ["Base Color", "Roughness"]

bpy.context.scene.reliefkit.material_maps = False
assert bpy.ops.reliefkit.make_maps(image_name=photo.name) == {"FINISHED"}
# Without the colour, the occlusion, colour and roughness of before (of other heights, of
# another photograph) are taken out.
nodes = bpy.context.object.active_material.node_tree.nodes
assert sorted(n.image.name for n in nodes if n.type == "TEX_IMAGE") == [
    "bricks_height", "bricks_normal"] and "MIX_RGB" not in {n.type for n in nodes}

# The maps are saved with the .blend: opened again, they hold the same pixels (also of a
# colour whose photograph had alpha).
clear = addon.array_to_image(np.full((2, 2, 4), 0.5, np.float32), "clear", "albedo", True)
clear.use_fake_user = True
made = {image.name: addon.image_to_array(image) for image in (bpy.data.images["bricks_height"], clear)}
with tempfile.TemporaryDirectory() as folder:
    bpy.ops.wm.save_as_mainfile(filepath=str(Path(folder) / "saved.blend"))
    bpy.ops.wm.open_mainfile(filepath=str(Path(folder) / "saved.blend"))
    for name, pixels in made.items():
        assert np.array_equal(addon.image_to_array(bpy.data.images[name]), pixels), name
addon_utils.disable("reliefkit_blender")
scripts.cleanup()
print("blender add-on: 1 passed, 0 failed")
