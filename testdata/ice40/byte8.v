// A RAM of 2048 8-bit words ("ram8") with a write port: four 4-kbit RAMs.
module top (input clk, input we, input [10:0] addr, input [7:0] din, output reg [7:0] data);
  reg [7:0] ram8 [0:2047];
  initial $readmemh("ram8.seed", ram8);
  always @(posedge clk) begin
    if (we) ram8[addr] <= din;
    data <= ram8[addr];
  end
endmodule
